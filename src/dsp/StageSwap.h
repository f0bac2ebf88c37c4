#pragma once
#include <atomic>
#include <memory>
#include <utility>

namespace corvena {

// Hands a stage built on the control thread to the audio thread at a block
// boundary, and the stage it replaces back to the control thread to be freed:
// the audio thread neither waits, allocates nor frees.
template <class T>
class StageSwap {
public:
    // One hand-over; after the swap it carries the replaced stage back.
    struct Slot {
        std::unique_ptr<T> stage;
    };

    StageSwap() = default;
    StageSwap(const StageSwap&) = delete;
    StageSwap& operator=(const StageSwap&) = delete;
    ~StageSwap() {
        delete incoming_.exchange(nullptr);
        delete retired_.exchange(nullptr);
    }

    // Control thread: `next` (null removes the stage) takes over at the audio
    // thread's next block; an earlier offer it has not taken yet is dropped.
    void offer(std::unique_ptr<T> next) {
        release();
        delete incoming_.exchange(new Slot{std::move(next)});
    }

    // Control thread, while no audio thread runs: the stage in place at once.
    void install(std::unique_ptr<T> next) {
        delete incoming_.exchange(nullptr);
        delete retired_.exchange(nullptr);
        active_ = std::move(next);
    }

    // Control thread: frees what the audio thread has let go of.
    void release() { delete retired_.exchange(nullptr); }

    // Audio thread, at the start of a block: the hand-over that arrived, if
    // any, now holding the replaced stage; give it back with `retire` once the
    // block no longer needs that stage.
    Slot* take() {
        if (retired_.load() != nullptr) return nullptr; // the last one is not freed yet
        Slot* slot = incoming_.exchange(nullptr);
        if (slot != nullptr) std::swap(slot->stage, active_);
        return slot;
    }
    void retire(Slot* slot) { retired_.store(slot); }

    T* active() const { return active_.get(); }

private:
    std::atomic<Slot*> incoming_{nullptr};
    std::atomic<Slot*> retired_{nullptr};
    std::unique_ptr<T> active_;
};

} // namespace corvena
