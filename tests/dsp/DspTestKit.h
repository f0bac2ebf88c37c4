#pragma once
#include "dsp/Biquad.h"
#include "engine/Engine.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

namespace corvena::test {

inline double magnitudeAt(const Biquad& s, double fs, double f) {
    const std::complex<double> z = std::polar(1.0, -2.0 * M_PI * f / fs);
    return std::abs((s.b0 + s.b1 * z + s.b2 * z * z) / (1.0 + s.a1 * z + s.a2 * z * z));
}

inline std::vector<float> sine(size_t n, double f, float amplitude, double fs = 48000.0) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * f * i / fs));
    return v;
}

inline bool allFinite(const float* x, size_t n) {
    return std::all_of(x, x + n, [](float v) { return std::isfinite(v); });
}

// An Engine set up by hand the way opening a stream leaves it, without a device.
struct EngineRig {
    Engine engine;
    std::vector<float> output = std::vector<float>(1024, -9.0f);

    explicit EngineRig(uint32_t channels = 1, uint32_t block = 128) {
        engine.info.sampleRate = 48000;
        engine.info.blockSize = block;
        engine.inputChannelCount = channels;
        for (auto* b : {&engine.diBuffer, &engine.wetBuffer, &engine.pluginLeft, &engine.pluginRight})
            b->assign(block, 0.0f);
        engine.tone.prepare(48000.0, static_cast<int32_t>(block));
        engine.tone.applySettings(engine.pendingSettings);
        engine.limiter.prepare(48000.0);
        engine.diRing.resize(4 * 48000);
        engine.wetRing.resize(4 * 48000);
        engine.tunerRing.resize(48000 + 1);
        engine.tunerScratch.assign(8192, 0.0f);
        engine.pitchDetector.prepare(48000.0);
    }
    ~EngineRig() { engine.recording.store(false); }
    void run(const float* in, uint32_t frames = 128, uint32_t status = 0) {
        engine.processBlock(output.data(), in, frames, status);
    }
    float left(uint32_t i) const { return output[2 * i]; }
    float right(uint32_t i) const { return output[2 * i + 1]; }
};

} // namespace corvena::test
