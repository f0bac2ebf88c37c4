#pragma once
#include <cstdint>

namespace corvena {

// Peak limiter at the end of the mono chain.
// (Interface fixed; the signal chain work fills in the private part.)
class OutputLimiter {
public:
    void prepare(double sampleRate);
    void process(float* buffer, int32_t n);
};

} // namespace corvena
