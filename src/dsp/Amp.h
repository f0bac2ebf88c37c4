#pragma once
#include "dsp/AmpSettings.h"
#include <cstdint>

namespace corvena {

// Built-in amplifier: Clean and Drive models.
// (Interface fixed; the signal chain work fills in the private part.)
class Amp {
public:
    explicit Amp(const AmpSettings& settings = AmpSettings{});

    // Control thread, stream stopped: adopt rate and block size, clear all state.
    void prepare(double sampleRate, int32_t maxBlock);
    // Audio or control thread: new settings, coefficients recomputed, state kept.
    void applySettings(const AmpSettings& settings);
    // Audio thread: input and output may be the same buffer.
    void process(const float* input, float* output, int32_t n);

    const AmpSettings& settings() const { return settings_; }

private:
    AmpSettings settings_;
};

} // namespace corvena
