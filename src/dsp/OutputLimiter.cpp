#include "dsp/OutputLimiter.h"

#include <cfloat>
#include <cmath>

namespace corvena {

void OutputLimiter::prepare(double sampleRate) {
    attack_ = static_cast<float>(std::exp(-1.0 / (sampleRate * 0.0005)));
    release_ = static_cast<float>(std::exp(-1.0 / (sampleRate * 0.05)));
    envelope_ = 0.0f;
}

void OutputLimiter::process(float* buffer, int32_t n) {
    float envelope = envelope_;
    for (int32_t i = 0; i < n; ++i) {
        float x = buffer[i];
        const float a = std::fabs(x);
        if (!(a <= FLT_MAX)) {
            // NaN or infinity (an overflowing output level, a misbehaving
            // plug-in): the clamp decides the sample (NaN is silence) and the
            // envelope never sees it, so the next finite sample is limited as
            // if it had not happened.
            buffer[i] = x != x ? 0.0f : (x > 0.0f ? 1.0f : -1.0f);
            continue;
        }
        const float k = a > envelope ? attack_ : release_;
        envelope = (1.0f - k) * a + k * envelope;
        if (envelope > FLT_MAX) envelope = FLT_MAX; // rounding at the very top of the range
        if (envelope > ceiling) x = (ceiling / envelope) * x;
        x = x < -1.0f ? -1.0f : x;
        buffer[i] = x > 1.0f ? 1.0f : x;
    }
    envelope_ = envelope;
}

} // namespace corvena
