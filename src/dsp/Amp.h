#pragma once
#include "dsp/AmpSettings.h"
#include "dsp/Biquad.h"
#include "dsp/NoiseGate.h"
#include "dsp/Oversampler.h"
#include "dsp/Waveshaper.h"

#include <array>
#include <cstdint>
#include <vector>

namespace corvena {

// Built-in amplifier: Clean and Drive models.
// (Interface fixed; the signal chain work fills in the private part.)
class Amp {
public:
    static constexpr int32_t sectionCount = 10;

    explicit Amp(const AmpSettings& settings = AmpSettings{});

    // Control thread, stream stopped: adopt rate and block size, clear all state.
    void prepare(double sampleRate, int32_t maxBlock);
    // Audio or control thread: new settings, coefficients recomputed, state kept.
    void applySettings(const AmpSettings& settings);
    // Audio thread: input and output may be the same buffer.
    void process(const float* input, float* output, int32_t n);

    // The capture path's stages, around the network that ToneChain runs between
    // them (audio thread, in place). Front: gate, then the input trim (the gain
    // setting, +-12 dB around unity), non-finite samples silenced so they never
    // reach a network's state. Tone stack: bass, mid, treble.
    void captureFront(float* buffer, int32_t n);
    void toneStack(float* buffer, int32_t n);
    // The output level, and a fresh start when anything went non-finite.
    void outputStage(float* buffer, int32_t n);
    // Clean and Drive end in a fixed cabinet voicing unless a cabinet impulse
    // response takes its place (audio thread).
    void setCabinetVoicing(bool on) { cabinetVoicing_ = on; }

    const AmpSettings& settings() const { return settings_; }

private:
    void updateCoefficients();
    void clearSignalState();
    void inputStage(const float* input, float* work, int32_t m);

    double sampleRate_ = 48000.0;
    AmpSettings settings_;
    std::array<Biquad, sectionCount> sections_{};
    NoiseGate gate_;
    Oversampler oversampler_;
    Waveshaper shaper_;
    std::vector<float> workBuffer_;
    float preGain_ = 1.0f;
    float outputGain_ = 1.0f;
    bool cabinetVoicing_ = true;
};

} // namespace corvena
