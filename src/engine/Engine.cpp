#include "engine/Engine.h"
#include "engine/AudioApi.h"

namespace corvena {

namespace {
// Upper bound first, then lower; written so that NaN ends at the upper bound.
float clampSetting(float value, float lo, float hi) {
    if (!(value < hi)) value = hi;
    if (!(value > lo)) value = lo;
    return value;
}
} // namespace

Engine::Engine() = default;

Engine::~Engine() {
    if (recording.load()) {
        RecordingResult result;
        std::string error;
        stopRecording(result, error);
    }
    close();
}

void Engine::setAmpSettings(const AmpSettings& settings, bool enabled) {
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        pendingSettings = settings;
    }
    ampEnabled.store(enabled);
    settingsChanged.store(true);
}

void Engine::setInputChannel(uint32_t channel) {
    if (inputChannelCount != 0 && channel > inputChannelCount - 1) channel = inputChannelCount - 1;
    selectedInputChannel.store(channel);
}

void Engine::setMonitor(bool enabled, float level) {
    monitorEnabled.store(enabled);
    monitorLevel.store(clampSetting(level, 0.0f, 2.0f));
}

void Engine::setTestTone(bool enabled, float frequency, float level) {
    toneFrequency.store(clampSetting(frequency, 20.0f, 20000.0f));
    toneLevel.store(clampSetting(level, 0.0f, 0.5f));
    toneEnabled.store(enabled);
}

void Engine::setMetronome(bool enabled, float bpm) {
    metronomeBpm.store(clampSetting(bpm, 20.0f, 300.0f));
    if (enabled && !metronomeEnabled.load()) metronomeResetRequested.store(true);
    metronomeEnabled.store(enabled);
}

void Engine::setTuner(bool enabled, float reference, bool mute) {
    tunerReference = clampSetting(reference, 400.0f, 480.0f);
    tunerMute.store(mute);
    if (enabled && !tunerEnabled.load()) {
        // Whatever the ring still holds is from before; the audio thread does not push now.
        while (!tunerScratch.empty() && tunerRing.pop(tunerScratch.data(), tunerScratch.size()) > 0) {
        }
        pitchDetector.reset();
    }
    tunerEnabled.store(enabled);
}

std::optional<TunerReading> Engine::takeTunerReading() {
    if (!tunerEnabled.load() || !streamOpen.load() || tunerScratch.empty()) return std::nullopt;
    uint64_t got = 0;
    while ((got = tunerRing.pop(tunerScratch.data(), tunerScratch.size())) > 0)
        pitchDetector.process(tunerScratch.data(), static_cast<int32_t>(got));
    const std::optional<double> frequency = pitchDetector.analyse();
    if (!frequency) return std::nullopt;
    return TunerReading::of(*frequency, tunerReference);
}

std::vector<float> Engine::takeInputPeaks() {
    const uint32_t count = inputChannelCount == 0 ? 1 : inputChannelCount;
    std::vector<float> peaks(count, 0.0f);
    for (uint32_t i = 0; i < count && i < maxInputChannels; ++i) peaks[i] = inputPeaks[i].exchange(0.0f);
    return peaks;
}

float Engine::takeOutputPeak() { return outputPeak.exchange(0.0f); }

uint32_t Engine::takeXrunCount() { return xrunCount.exchange(0); }

bool Engine::loadPlugin(const std::string& path, std::string& error) {
    // Set up for the running stream's block directly, not restarted after a
    // first set-up at another size.
    const double rate = info.sampleRate == 0 ? 48000.0 : static_cast<double>(info.sampleRate);
    const int32_t frames = info.blockSize == 0 ? 512 : static_cast<int32_t>(info.blockSize);
    plugin.unload();
    plugin.prepare(rate, frames);
    if (!plugin.load(path, error)) return false;
    pluginEnabled.store(true);
    return true;
}

void Engine::unloadPlugin() {
    pluginEnabled.store(false);
    plugin.unload();
}

Engine engine;

} // namespace corvena
