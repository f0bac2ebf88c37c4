#pragma once
#include "dsp/AmpSettings.h"
#include "dsp/OutputLimiter.h"
#include "dsp/ToneChain.h"
#include "plugin/PluginSlot.h"
#include "record/SoundFileReader.h"
#include "record/WavWriter.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace corvena {

// The tone a render copies from the live engine, as it is set now.
struct ReampTone {
    const ToneChain* tone = nullptr;       // the live chain (capture, response)
    AmpSettings settings;
    bool ampEnabled = true;
    const PluginSlot* plugin = nullptr;    // set when a ready plug-in is enabled
    std::string pluginState;               // that plug-in's state container
};

// What a render tells the front end.
struct ReampReport {
    enum class Kind { Progress, Done, Error, Cancelled };
    Kind kind = Kind::Progress;
    double progress = 0.0;
    uint64_t frames = 0;
    double seconds = 0.0;
    double realtimeFactor = 0.0;
    std::string wetPath;
    std::string error;
};

// Re-amping: a recorded DI rendered through a copy of the live tone (its own
// amp, capture, response and limiter, or a second instance of the plug-in in
// offline mode) into a 24-bit mono WAV at the DI's rate, on a worker thread of
// its own, so the live stream is never touched. The file is written under a
// temporary name beside the wet path and renamed only once complete.
class ReampRender {
public:
    ReampRender() = default;
    ~ReampRender();
    ReampRender(const ReampRender&) = delete;
    ReampRender& operator=(const ReampRender&) = delete;

    // Control thread: checks everything that can be checked first, sets up the
    // chain and starts. `frames` and `seconds` describe the input.
    bool start(const std::string& diPath, const std::string& wetPath, uint32_t channel, const ReampTone& tone,
               uint64_t& frames, double& seconds, std::string& error);
    // Control thread: false when nothing runs. The end comes through poll.
    bool cancel();
    bool running() const { return worker_.joinable(); }
    // Control thread: progress at most every `interval`, then the outcome once.
    std::optional<ReampReport> poll(std::chrono::milliseconds interval = std::chrono::milliseconds(100));
    // Control thread, at process end: cancels a running render and waits for it.
    void finish();

private:
    enum State { Running, Done, Failed, Cancelled };
    void run();
    void reset();

    SoundFileReader reader_;
    WavWriter writer_;
    ToneChain tone_;
    OutputLimiter limiter_;
    std::unique_ptr<PluginSlot> plugin_;
    bool ampEnabled_ = true;
    uint32_t channel_ = 0;
    std::string wetPath_;
    std::string partPath_;
    uint64_t total_ = 0;
    double rate_ = 48000.0;

    std::thread worker_;
    std::atomic<bool> cancel_{false};
    std::atomic<uint64_t> done_{0};
    std::atomic<int> state_{Running};
    std::string error_;        // written by the worker before it publishes Failed
    double realtimeFactor_ = 0; // likewise, before Done
    std::chrono::steady_clock::time_point lastProgress_;
    double lastShown_ = -1.0;
};

} // namespace corvena
