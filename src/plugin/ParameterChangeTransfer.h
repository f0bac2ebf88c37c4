#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "pluginterfaces/vst/vsttypes.h"

namespace corvena {

class ParameterChanges;

// Carries parameter edits from the controller's side to the audio thread.
// A ring of twice the parameter count; at most size - 1 entries wait at once,
// and an edit made while the ring is full overwrites the one free entry and is
// lost. The reader never locks. Writers serialise among themselves, because a
// plug-in may report edits from a thread of its own as well as from the
// control thread; that lock is never touched by the reader.
class ParameterChangeTransfer {
public:
    ParameterChangeTransfer() = default;
    ParameterChangeTransfer(const ParameterChangeTransfer&) = delete;
    ParameterChangeTransfer& operator=(const ParameterChangeTransfer&) = delete;

    // Allocates the ring (2 × count entries) and empties it. Not while in use.
    void setMaxParameters(int32_t count);
    int32_t capacity() const { return size_; }

    // Writer side: queue one edit.
    void addChange(Steinberg::Vst::ParamID id, Steinberg::Vst::ParamValue value, Steinberg::int32 sampleOffset);

    // Reader side: move every waiting edit, oldest first, into changes.
    void transferChangesTo(ParameterChanges& changes);
    // Reader side: drop every waiting edit.
    void removeChanges();
    // Either side: no edit is waiting.
    bool empty() const { return readIndex_.load() == writeIndex_.load(); }

private:
    struct Entry {
        Steinberg::Vst::ParamID id;
        Steinberg::Vst::ParamValue value;
        Steinberg::int32 sampleOffset;
    };
    std::unique_ptr<Entry[]> entries_;
    int32_t size_ = 0;
    std::atomic<int32_t> readIndex_{0};
    std::atomic<int32_t> writeIndex_{0};
    std::mutex writers_;
};

} // namespace corvena
