#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

namespace corvena {

// Lock-free single-producer single-consumer ring of float samples.
// Holds at most capacity - 1 samples: one slot stays free so that
// "full" and "empty" can be told apart from the two indices alone.
class SampleRing {
public:
    // Control thread, neither side running: size the storage (all zero) and empty it.
    void resize(uint64_t capacity);
    // Control thread, neither side running: forget whatever is stored.
    void reset();
    // Producer (audio thread): copies up to count samples, returns how many were taken.
    // Never blocks, never allocates.
    uint64_t push(const float* samples, uint64_t count);
    // Consumer (disk writer): copies up to maximum samples out, returns how many.
    uint64_t pop(float* destination, uint64_t maximum);

    uint64_t capacity() const { return storage_.size(); }

private:
    std::vector<float> storage_;
    // Each index is stored only by its own side (release) and read by the other (acquire).
    std::atomic<uint64_t> readIndex_{0};
    std::atomic<uint64_t> writeIndex_{0};
};

} // namespace corvena
