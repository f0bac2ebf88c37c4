#include "record/SampleRing.h"

namespace corvena {
// Placeholder until recording lands.
void SampleRing::resize(uint64_t capacity) { storage_.assign(capacity, 0.0f); reset(); }
void SampleRing::reset() { readIndex_.store(0); writeIndex_.store(0); }
uint64_t SampleRing::push(const float*, uint64_t) { return 0; }
uint64_t SampleRing::pop(float*, uint64_t) { return 0; }
} // namespace corvena
