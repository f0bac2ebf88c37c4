#pragma once
#include <cstdint>

namespace corvena {

// min(max(x, -1), 1) for every finite or infinite x; NaN becomes silence
// rather than travelling on to the device.
inline float clampSample(float x) {
    x = x < -1.0f ? -1.0f : x;
    x = x > 1.0f ? 1.0f : x;
    return x == x ? x : 0.0f;
}

// Sine test tone over frames 0..n-1 of an interleaved stereo buffer, both
// channels, replacing what is there. The phase carries over between blocks and
// across off/on, so the tone never jumps.
void renderTestTone(float* output, int32_t n, double sampleRate, float frequency, float level, double& phase);

// The metronome's state; it lives in the engine and only the audio thread touches it.
struct ClickState {
    double& samplesToNextBeat;
    int32_t& beatIndex;
    int32_t& clickSamplesLeft;
    double& clickPhase;
    double& clickFrequency;
};

// Adds the click to both channels of frames 0..n-1, clamping each sum.
// reset restarts the bar on this block's first frame (accented beat).
// Beat k starts on the first frame at or after k samples-per-beat, so
// fractional beat lengths never accumulate drift.
void renderMetronome(float* output, int32_t n, double sampleRate, float bpm, bool reset, ClickState state);

} // namespace corvena
