#pragma once
#include <cstdint>

namespace corvena {

// Peak-envelope gate with hold: instant envelope attack, 20 ms envelope decay,
// 1 ms opening, 80 ms closing, 40 ms hold. Single precision throughout.
class NoiseGate {
public:
    float threshold = 0.002f;
    float envelope = 0.0f;
    float gain = 0.0f;
    float openCoefficient = 0.0f;
    float closeCoefficient = 0.0f;
    float envelopeDecay = 0.0f;
    int32_t holdSamples = 0;
    int32_t holdCounter = 0;

    // Time constants for the rate; clears envelope, gain and hold counter.
    void prepare(double sampleRate);
    void reset();
    // Linear threshold for the amp's gate setting: -80 dB at 0 to -30 dB at 1,
    // the setting clamped to 0..1.
    static float thresholdFor(float gateSetting);
    void process(float* buffer, int32_t n);

    // One sample; inline so the amp can run it inside its own per-sample loop.
    float processSample(float x) {
        const float magnitude = x < 0.0f ? -x : x;
        const float decayed = envelopeDecay * envelope;
        envelope = decayed < magnitude ? magnitude : decayed;
        float target;
        if (envelope > threshold) {
            target = 1.0f;
            holdCounter = holdSamples;
        } else if (holdCounter > 0) {
            --holdCounter;
            target = 1.0f;
        } else {
            target = 0.0f;
        }
        const float k = target > gain ? openCoefficient : closeCoefficient;
        gain = (1.0f - k) * target + k * gain;
        return x * gain;
    }
};

} // namespace corvena
