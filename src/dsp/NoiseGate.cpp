#include "dsp/NoiseGate.h"

#include <cmath>

namespace corvena {

void NoiseGate::prepare(double sampleRate) {
    openCoefficient = static_cast<float>(std::exp(-1.0 / (sampleRate * 0.001)));
    closeCoefficient = static_cast<float>(std::exp(-1.0 / (sampleRate * 0.08)));
    envelopeDecay = static_cast<float>(std::exp(-1.0 / (sampleRate * 0.02)));
    holdSamples = static_cast<int32_t>(sampleRate * 0.04);
    reset();
}

void NoiseGate::reset() {
    envelope = 0.0f;
    gain = 0.0f;
    holdCounter = 0;
}

float NoiseGate::thresholdFor(float gateSetting) {
    // Upper bound first, then lower, as the engine's setters clamp.
    double g = gateSetting;
    if (!(g < 1.0)) g = 1.0;
    if (!(g > 0.0)) g = 0.0;
    return static_cast<float>(std::pow(10.0, (g * 50.0 - 80.0) / 20.0));
}

void NoiseGate::process(float* buffer, int32_t n) {
    for (int32_t i = 0; i < n; ++i) buffer[i] = processSample(buffer[i]);
}

} // namespace corvena
