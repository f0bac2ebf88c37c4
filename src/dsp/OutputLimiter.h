#pragma once
#include <cstdint>

namespace corvena {

// Peak limiter at the end of the mono chain.
// (Interface fixed; the signal chain work fills in the private part.)
class OutputLimiter {
public:
    static constexpr float ceiling = 0.95f;

    void prepare(double sampleRate);
    void process(float* buffer, int32_t n);

private:
    float envelope_ = 0.0f;
    float attack_ = 0.0f;
    float release_ = 0.0f;
};

} // namespace corvena
