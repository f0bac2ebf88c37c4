#include "dsp/Generators.h"

#include <algorithm>
#include <cmath>

namespace corvena {

namespace {
constexpr double twoPi = 2.0 * 3.14159265358979323846;
constexpr double clickSeconds = 0.028;
constexpr double accentHz = 1600.0;
constexpr double beatHz = 1000.0;
constexpr int32_t beatsPerBar = 4;
constexpr float slowestBpm = 20.0f;
} // namespace

void renderTestTone(float* output, int32_t n, double sampleRate, float frequency, float level, double& phase) {
    const double step = static_cast<double>(frequency) * twoPi / sampleRate;
    double p = phase;
    for (int32_t i = 0; i < n; ++i) {
        const float s = static_cast<float>(std::sin(p)) * level;
        p += step;
        if (p > twoPi) p -= twoPi;
        output[2 * i] = s;
        output[2 * i + 1] = s;
    }
    phase = p;
}

void renderMetronome(float* output, int32_t n, double sampleRate, float bpm, bool reset, ClickState state) {
    const double clickLength = sampleRate * clickSeconds;
    const double samplesPerBeat = sampleRate * 60.0 / static_cast<double>(std::max(bpm, slowestBpm));
    if (reset) {
        state.samplesToNextBeat = 0.0;
        state.beatIndex = 0;
        state.clickSamplesLeft = 0;
    }
    double toNextBeat = state.samplesToNextBeat;
    int32_t beat = state.beatIndex;
    int32_t left = state.clickSamplesLeft;
    double phase = state.clickPhase;
    double frequency = state.clickFrequency;
    double step = frequency * twoPi / sampleRate;
    for (int32_t i = 0; i < n; ++i) {
        if (toNextBeat <= 0.0) {
            frequency = beat % beatsPerBar == 0 ? accentHz : beatHz;
            step = frequency * twoPi / sampleRate;
            left = static_cast<int32_t>(clickLength);
            phase = 0.0;
            beat = (beat + 1) % beatsPerBar;
            toNextBeat += samplesPerBeat;
        }
        toNextBeat -= 1.0;
        if (left > 0) {
            const double envelope = left / clickLength;
            const float s = static_cast<float>(std::sin(phase) * envelope * envelope * 0.5);
            phase += step;
            output[2 * i] = clampSample(output[2 * i] + s);
            output[2 * i + 1] = clampSample(output[2 * i + 1] + s);
            --left;
        }
    }
    state.samplesToNextBeat = toNextBeat;
    state.beatIndex = beat;
    state.clickSamplesLeft = left;
    state.clickPhase = phase;
    state.clickFrequency = frequency;
}

} // namespace corvena
