#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/DeviceRecord.h"

class RtAudio;

namespace corvena {

// The one place that knows which RtAudio generation we build against. The engine
// talks to the audio library through this class in the terms of the current
// library interface (device ids, error codes plus a captured error text, back
// ends by short name); the 5.x differences (device indices, thrown RtAudioError,
// error callback without user data as the last openStream argument, the unreliable
// `probed` flag, enum values that differ between generations) stay in AudioApi.cpp.
class AudioApi {
public:
    // A device description in the engine's terms: everything but `id` and `api`,
    // which the caller knows.
    using Device = DeviceRecord;

    struct Channels {
        uint32_t deviceId = 0;
        uint32_t count = 0;
        uint32_t firstChannel = 0;
    };

    struct Options {
        bool minimizeLatency = false;
        bool scheduleRealtime = false;
        uint32_t buffers = 0; // 0: the library's choice
        std::string streamName;
        int priority = 0;
    };

    // Same shape as the library's stream callback.
    using Callback = int (*)(void* output, void* input, unsigned int frames, double streamTime,
                             unsigned int status, void* userData);

    // Short names of the compiled back ends, in the library's order, without the
    // "unspecified" and "dummy" placeholders.
    static std::vector<std::string> compiledApis();
    // True when `name` (already lower case) is the short name of a compiled back end.
    static bool isCompiledApi(const std::string& name);

    // An instance for the back end `api` (short name; empty: the library's default).
    // Throws a standard exception when the library cannot be set up. Reports that
    // the library makes are recorded as errorText() (the first one only) and are
    // otherwise dropped.
    explicit AudioApi(const std::string& api);
    // Stops and closes a stream that is still open, then ends the instance.
    ~AudioApi();
    AudioApi(const AudioApi&) = delete;
    AudioApi& operator=(const AudioApi&) = delete;

    // Short name of the back end in use, also when the library chose it.
    std::string apiName() const;

    // Listing; these may throw standard exceptions (the caller decides what a
    // failure means for a listing).
    std::vector<uint32_t> deviceIds();
    Device deviceInfo(uint32_t id);
    // The device to open for a requested id: 6.x ids never are 0, so 0 (the
    // request's default) means the library's default device there.
    uint32_t deviceOrDefault(uint32_t id, bool input);
    // For opening: false when the description cannot be obtained.
    bool tryDeviceInfo(uint32_t id, Device& out);

    // Stream calls: false on failure, with errorText() holding the library's first
    // report when it gave one. blockSize is replaced by the granted block size.
    bool openStream(const Channels& output, const Channels& input, uint32_t sampleRate, uint32_t& blockSize,
                    Callback callback, void* userData, const Options& options);
    bool startStream();
    void stopStream();
    void closeStream();
    bool isStreamOpen() const;
    bool isStreamRunning() const;
    uint32_t streamSampleRate();
    // Frames from input to output as the library reports them; where it reports
    // none (0), an estimate from the block and the back end's buffers.
    uint32_t streamLatency(uint32_t blockSize, uint32_t sampleRate, bool& estimated);

    // Audio callbacks since the stream was opened (any thread).
    uint64_t blocks() const { return blocks_.load(std::memory_order_relaxed); }
    // True once the library reported that the started stream failed (a fatal
    // error from its own threads: 6.x's error callback, 5.x's error callback in
    // place of a throw); `text` is its report. Control thread.
    bool streamFailed(std::string& text) const;

    // First text the library reported for this instance; empty when none.
    std::string errorText() const;
    // Records a report of the library (kept only when it is the first); a fatal
    // one while the stream is started marks the stream failed instead.
    void report(const std::string& text, bool fatal = false);

private:
    static int streamCallback(void* output, void* input, unsigned int frames, double streamTime,
                              unsigned int status, void* self);
    bool serverLost() const;
    // Called by the library's threads: no lock, no allocation. The first report wins.
    void noteFailure(const char* text);

    // Declared before the instance so that they outlive it: the library may call
    // back and report until the instance is gone.
    mutable std::mutex errorMutex_;
    std::string errorText_;
    Callback callback_ = nullptr;
    void* userData_ = nullptr;
    // Counts audio callbacks; lets close tell a running stream from one whose
    // server went away (the library then closes the stream on a thread of its own).
    std::atomic<uint64_t> blocks_{0};
    // Set while the stream is started by us: an error reported then ends it.
    std::atomic<bool> started_{false};
    // 0 none, 1 being written, 2 written (then failureText_ is read-only).
    std::atomic<int> failure_{0};
    std::array<char, 256> failureText_{};
    // What the library made of the buffer count asked for (it writes it back).
    uint32_t buffers_ = 0;

    std::unique_ptr<RtAudio> rt_;
};

} // namespace corvena
