#include "dsp/Generators.h"
#include "engine/Engine.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define CORVENA_CALLBACK_SSE 1
#endif

namespace corvena {

int Engine::processBlock(float* output, const float* input, uint32_t frameCount, uint32_t status) {
    // 1. One block counts once, whatever flags are set.
    if (status != 0) xrunCount.fetch_add(1);

    // 2. Never wait for the control thread: a busy mutex postpones the change.
    if (settingsChanged.load()) {
        if (settingsMutex.try_lock()) {
            tone.applySettings(pendingSettings);
            settingsChanged.store(false);
            settingsMutex.unlock();
        }
    }

    // 3. Sizes.
    const uint32_t n = std::min<uint32_t>(frameCount, static_cast<uint32_t>(diBuffer.size()));
    const uint32_t channels = std::max<uint32_t>(inputChannelCount, 1u);
    const uint32_t metered = std::min(channels, maxInputChannels);
    const uint32_t selected = std::min(selectedInputChannel.load(), channels - 1);
    float* di = diBuffer.data();
    float* wet = wetBuffer.data();

    // 4. Input scan: frame by frame so the per-channel maxima run over
    //    neighbouring samples; the result is the same maximum per channel.
    alignas(16) float peaks[maxInputChannels] = {};
    if (input != nullptr) {
        for (uint32_t i = 0; i < n; ++i) {
            const float* frame = input + static_cast<size_t>(i) * channels;
            uint32_t c = 0;
#if CORVENA_CALLBACK_SSE
            // max(|x|, peak) keeps the peak when x is NaN, as the scalar form below does.
            const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
            for (; c + 4 <= metered; c += 4) {
                const __m128 x = _mm_and_ps(_mm_loadu_ps(frame + c), magnitude);
                _mm_store_ps(peaks + c, _mm_max_ps(x, _mm_load_ps(peaks + c)));
            }
#endif
            for (; c < metered; ++c) peaks[c] = std::max(peaks[c], std::fabs(frame[c]));
            di[i] = frame[selected];
        }
    } else {
        std::fill(di, di + n, 0.0f);
    }
    for (uint32_t c = 0; c < metered; ++c) raisePeak(inputPeaks[c], peaks[c]);

    // 5. Plug-in (stereo block) or built-in path.
    const int32_t count = static_cast<int32_t>(n);
    float* left = pluginLeft.data();
    float* right = pluginRight.data();
    const bool stereo = pluginEnabled.load() && plugin.process(di, left, right, count);
    if (stereo) {
        for (uint32_t i = 0; i < n; ++i) wet[i] = (left[i] + right[i]) * 0.5f;
    } else {
        std::copy(di, di + n, wet);
        if (ampEnabled.load()) tone.process(wet, count);
    }

    // 6. Limiter, on both paths.
    limiter.process(wet, count);

    // 7. Recorder hand-off.
    const bool isRecording = recording.load();
    if (isRecording) {
        if (diRing.push(di, n) < n) samplesDropped.store(true);
        if (!wetPath.empty() && wetRing.push(wet, n) < n) samplesDropped.store(true);
        framesRecorded.fetch_add(n);
    }

    // 7b. Tuner hand-off: the DI, whatever the path.
    const bool tuning = tunerEnabled.load();
    if (tuning) tunerRing.push(di, n);

    // 8. Output.
    const double sampleRate = info.sampleRate != 0 ? static_cast<double>(info.sampleRate) : 48000.0;
    const float level = monitorLevel.load();
    if (toneEnabled.load()) {
        renderTestTone(output, count, sampleRate, toneFrequency.load(), toneLevel.load(), tonePhase);
    } else {
        if (!monitorEnabled.load() || (tuning && tunerMute.load())) {
            std::fill(output, output + 2 * static_cast<size_t>(n), 0.0f);
        } else if (stereo) {
            // The plug-in's own outputs bypass the limiter; the clamp still
            // keeps them (and any NaN they carry) off the device.
            for (uint32_t i = 0; i < n; ++i) {
                output[2 * i] = clampSample(level * left[i]);
                output[2 * i + 1] = clampSample(level * right[i]);
            }
        } else {
            for (uint32_t i = 0; i < n; ++i) output[2 * i] = output[2 * i + 1] = clampSample(level * wet[i]);
        }
        if (metronomeEnabled.load() && isRecording) {
            const bool reset = metronomeResetRequested.exchange(false);
            renderMetronome(output, count, sampleRate, metronomeBpm.load(), reset,
                            ClickState{samplesToNextBeat, beatIndex, clickSamplesLeft, clickPhase, clickFrequency});
        }
    }

    // 9. Frames beyond the prepared block are silent.
    std::fill(output + 2 * static_cast<size_t>(n), output + 2 * static_cast<size_t>(frameCount), 0.0f);

    // 10. Output meter: left channel, tail included.
    float outPeak = 0.0f;
    for (uint32_t i = 0; i < frameCount; ++i) outPeak = std::max(outPeak, std::fabs(output[2 * i]));
    raisePeak(outputPeak, outPeak);
    return 0;
}

int audioCallback(void* output, void* input, unsigned int frameCount, double, unsigned int status, void* userData) {
    return static_cast<Engine*>(userData)->processBlock(static_cast<float*>(output), static_cast<const float*>(input),
                                                         frameCount, status);
}

} // namespace corvena
