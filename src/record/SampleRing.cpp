#include "record/SampleRing.h"

#include <algorithm>
#include <cstring>

namespace corvena {

void SampleRing::resize(uint64_t capacity) {
    storage_.assign(capacity, 0.0f);
    reset();
}

void SampleRing::reset() {
    readIndex_.store(0);
    writeIndex_.store(0);
}

uint64_t SampleRing::push(const float* samples, uint64_t count) {
    const uint64_t cap = storage_.size();
    if (cap == 0 || count == 0) return 0;
    const uint64_t write = writeIndex_.load(std::memory_order_relaxed);
    const uint64_t read = readIndex_.load(std::memory_order_acquire);
    const uint64_t freeCount = (read + cap - write - 1) % cap;
    const uint64_t k = std::min(count, freeCount);
    // At most two contiguous pieces: up to the end of the storage, then from its start.
    const uint64_t first = std::min(k, cap - write);
    std::memcpy(storage_.data() + write, samples, first * sizeof(float));
    if (k > first) std::memcpy(storage_.data(), samples + first, (k - first) * sizeof(float));
    writeIndex_.store((write + k) % cap, std::memory_order_release);
    return k;
}

uint64_t SampleRing::pop(float* destination, uint64_t maximum) {
    const uint64_t cap = storage_.size();
    if (cap == 0 || maximum == 0) return 0;
    const uint64_t read = readIndex_.load(std::memory_order_relaxed);
    const uint64_t write = writeIndex_.load(std::memory_order_acquire);
    const uint64_t readable = (write + cap - read) % cap;
    const uint64_t k = std::min(maximum, readable);
    const uint64_t first = std::min(k, cap - read);
    std::memcpy(destination, storage_.data() + read, first * sizeof(float));
    if (k > first) std::memcpy(destination + first, storage_.data(), (k - first) * sizeof(float));
    readIndex_.store((read + k) % cap, std::memory_order_release);
    return k;
}

} // namespace corvena
