#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "pluginterfaces/base/ibstream.h"

namespace corvena {

// A growable in-memory IBStream for plug-in states. Every position is checked:
// a plug-in reading a hostile or truncated state gets short reads, never bytes
// outside the buffer, and a seek before the start or past the end is refused.
class MemoryStream : public Steinberg::IBStream {
public:
    MemoryStream() = default;
    explicit MemoryStream(std::string bytes) : bytes_(std::move(bytes)) {}
    virtual ~MemoryStream() = default;

    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::uint32 PLUGIN_API addRef() override { return ++refCount_; }
    Steinberg::uint32 PLUGIN_API release() override;

    Steinberg::tresult PLUGIN_API read(void* buffer, Steinberg::int32 numBytes, Steinberg::int32* numBytesRead) override;
    Steinberg::tresult PLUGIN_API write(void* buffer, Steinberg::int32 numBytes, Steinberg::int32* numBytesWritten) override;
    Steinberg::tresult PLUGIN_API seek(Steinberg::int64 pos, Steinberg::int32 mode, Steinberg::int64* result) override;
    Steinberg::tresult PLUGIN_API tell(Steinberg::int64* pos) override;

    const std::string& bytes() const { return bytes_; }
    void rewind() { cursor_ = 0; }

    // Beyond this a write fails: lengths in the state container are 32-bit.
    static constexpr size_t kMaxSize = 0x7FFFFFFF;

private:
    std::string bytes_;
    size_t cursor_ = 0;
    std::atomic<Steinberg::uint32> refCount_{1};
};

} // namespace corvena
