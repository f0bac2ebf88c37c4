#include "dsp/Amp.h"

namespace corvena {
// Placeholder until the signal chain lands.
Amp::Amp(const AmpSettings& settings) : settings_(settings) {}
void Amp::prepare(double, int32_t) {}
void Amp::applySettings(const AmpSettings& settings) { settings_ = settings; }
void Amp::process(const float* input, float* output, int32_t n) {
    for (int32_t i = 0; i < n; ++i) output[i] = input[i];
}
} // namespace corvena
