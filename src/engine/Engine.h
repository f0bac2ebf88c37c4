#pragma once
#include "dsp/AmpSettings.h"
#include "dsp/OutputLimiter.h"
#include "dsp/PitchDetector.h"
#include "dsp/ToneChain.h"
#include "dsp/TunerReading.h"
#include "engine/DeviceRecord.h"
#include "engine/OpenRequest.h"
#include "engine/StreamInfo.h"
#include "plugin/PluginSlot.h"
#include "reamp/ReampRender.h"
#include "record/RecordingResult.h"
#include "record/SampleRing.h"
#include "record/WavWriter.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvena {

class AudioApi; // the audio library adapter (engine/AudioApi.h)

// Everything the running program knows about audio. One instance, `engine`.
// The control thread owns it; the audio thread runs processBlock; the disk
// writer exists only while recording.
class Engine {
public:
    static constexpr uint32_t maxInputChannels = 64;

    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Devices and stream (control thread).
    std::vector<DeviceRecord> listDevices();
    bool open(const OpenRequest& request, StreamInfo& out, std::string& error);
    void close();
    // Sizes and prepares everything the callback touches, for a stream of this
    // shape; `open` calls it before the stream starts (control thread).
    void prepareChain(uint32_t sampleRate, uint32_t blockSize, uint32_t inputChannels, uint32_t inputChannel);
    StreamInfo streamInfo() const { return info; }
    // Whether the open stream still runs: when the library reported it failed, or
    // no block came for a second, the stream is closed (a running take finalised
    // with what it holds, for `stop` to report) and the reason returned.
    std::optional<std::string> checkStream(std::chrono::steady_clock::time_point now);

    // Live controls (control thread).
    void setAmpSettings(const AmpSettings& settings, bool enabled);
    void setInputChannel(uint32_t channel);
    void setMonitor(bool enabled, float level);
    void setTestTone(bool enabled, float frequency, float level);
    void setMetronome(bool enabled, float bpm);
    // `reference` is A4 in Hz (400 to 480); `mute` silences the monitor while the tuner is on.
    void setTuner(bool enabled, float reference, bool mute);

    // The tuner's reading of the DI since the last call; nothing while it is off,
    // no stream is open, or no single note sounds (control thread).
    std::optional<TunerReading> takeTunerReading();

    // Meters, each read resets what it returns (control thread).
    std::vector<float> takeInputPeaks();
    float takeOutputPeak();
    uint32_t takeXrunCount();

    // Plug-in (control thread).
    bool loadPlugin(const std::string& path, std::string& error);
    void unloadPlugin();

    // Recording (control thread).
    bool startRecording(const std::string& diPath, const std::string& wetPath, std::string& error);
    bool stopRecording(RecordingResult& result, std::string& error);

    // Audio thread: one block of the duplex stream. Always returns 0.
    int processBlock(float* output, const float* input, uint32_t frameCount, uint32_t status);

    // Body of the disk-writer thread.
    void writerLoop();

    // Members, in declaration order (destruction runs in reverse).
    std::unique_ptr<AudioApi> audio;
    StreamInfo info;
    std::atomic<bool> streamOpen{false};
    uint32_t inputChannelCount = 0;
    std::atomic<uint32_t> selectedInputChannel{0};
    ToneChain tone; // the built-in amp, the capture and the cabinet response
    OutputLimiter limiter;
    PluginSlot plugin;
    std::atomic<bool> pluginEnabled{false};
    std::vector<float> diBuffer;
    std::vector<float> wetBuffer;
    std::vector<float> pluginLeft;
    std::vector<float> pluginRight;
    std::mutex settingsMutex;
    AmpSettings pendingSettings;
    std::atomic<bool> settingsChanged{false};
    std::atomic<bool> ampEnabled{true};
    std::atomic<bool> monitorEnabled{true};
    std::atomic<float> monitorLevel{0.8f};
    std::atomic<bool> toneEnabled{false};
    std::atomic<float> toneFrequency{440.0f};
    std::atomic<float> toneLevel{0.15f};
    double tonePhase = 0.0;
    std::atomic<bool> metronomeEnabled{false};
    std::atomic<float> metronomeBpm{120.0f};
    std::atomic<bool> metronomeResetRequested{false};
    double samplesToNextBeat = 0.0;
    int32_t beatIndex = 0;
    int32_t clickSamplesLeft = 0;
    double clickPhase = 0.0;
    double clickFrequency = 1000.0;
    std::atomic<bool> tunerEnabled{false};
    std::atomic<bool> tunerMute{false};
    float tunerReference = 440.0f;   // control thread only
    SampleRing tunerRing;            // the DI, audio thread to control thread
    PitchDetector pitchDetector;     // control thread only
    std::vector<float> tunerScratch; // what one pop of the ring lands in
    std::atomic<bool> recording{false};
    std::atomic<bool> writerRunning{false};
    std::atomic<uint64_t> framesRecorded{0};
    std::atomic<bool> samplesDropped{false};
    SampleRing diRing;
    SampleRing wetRing;
    WavWriter diWriter;
    WavWriter wetWriter;
    std::thread writerThread;
    std::string diPath;
    std::string wetPath;
    std::array<std::atomic<float>, maxInputChannels> inputPeaks{};
    std::atomic<float> outputPeak{0.0f};
    std::atomic<uint32_t> xrunCount{0};
    // The stream watch (control thread).
    uint64_t blocksSeen = 0;
    std::chrono::steady_clock::time_point blockSeenAt;
    // A take the stream's failure ended, until `stop` reports it.
    std::optional<RecordingResult> failedTake;
    std::string failedTakeError;
    ReampRender reamp; // offline renders of recorded DI, beside the live stream
};

// Registered with the audio library; userData is the Engine.
int audioCallback(void* output, void* input, unsigned int frameCount, double streamTime,
                  unsigned int status, void* userData);

// Raise an atomic peak meter to value (compare-and-swap; only ever grows).
inline void raisePeak(std::atomic<float>& meter, float value) {
    float stored = meter.load();
    while (value > stored && !meter.compare_exchange_weak(stored, value)) {
    }
}

// The one engine of the process.
extern Engine engine;

} // namespace corvena
