#include "engine/AudioApi.h"

#include <RtAudio.h> // through the library's pkg-config include path, 5.x and 6.x alike

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

// Two generations of the library, chosen at compile time (6.x defines
// RTAUDIO_VERSION_MAJOR):
// - 6.x: devices have ids (getDeviceIds), failures are returned as error codes
//   and reported to the error callback given to the constructor.
// - 5.x: devices are indices 0 .. getDeviceCount() - 1, failures are thrown as
//   RtAudioError until a stream is open and go to the error callback afterwards,
//   and that callback is a plain function without user data, passed to openStream.
#if defined(RTAUDIO_VERSION_MAJOR) && RTAUDIO_VERSION_MAJOR >= 6
#define CORVENA_RTAUDIO6 1
#endif

namespace corvena {

namespace {

#ifndef CORVENA_RTAUDIO6
// The 5.x error callback carries no user data, so the instance whose stream is
// open is remembered here; only the engine's stream instance registers. The
// library may report from its own threads: those only try the lock, a report
// that meets a busy lock is dropped (the text matters only while opening).
std::mutex reporterMutex;
AudioApi* reporter = nullptr;

void libraryReport(RtAudioError::Type type, const std::string& text) {
    std::unique_lock<std::mutex> lock(reporterMutex, std::try_to_lock);
    if (lock.owns_lock() && reporter != nullptr) reporter->report(text, type != RtAudioError::WARNING);
}
#endif

// The enum values differ between generations; back ends travel as short names.
RtAudio::Api apiByName(const std::string& name) {
    if (name.empty()) return RtAudio::UNSPECIFIED;
    return RtAudio::getCompiledApiByName(name);
}

} // namespace

std::vector<std::string> AudioApi::compiledApis() {
    std::vector<RtAudio::Api> apis;
    RtAudio::getCompiledApi(apis);
    std::vector<std::string> names;
    for (RtAudio::Api api : apis)
        if (api != RtAudio::UNSPECIFIED && api != RtAudio::RTAUDIO_DUMMY) names.push_back(RtAudio::getApiName(api));
    return names;
}

bool AudioApi::isCompiledApi(const std::string& name) {
    const RtAudio::Api api = RtAudio::getCompiledApiByName(name);
    return api != RtAudio::UNSPECIFIED && api != RtAudio::RTAUDIO_DUMMY;
}

#ifdef CORVENA_RTAUDIO6
// Every report, error or warning, reaches the callback and is never printed.
// The library may report from its own threads (the audio thread among them):
// an error of the started stream is noted without a lock; other reports only
// try the lock, and one that meets a busy lock is dropped.
AudioApi::AudioApi(const std::string& api)
    : rt_(std::make_unique<RtAudio>(apiByName(api), [this](RtAudioErrorType type, const std::string& text) {
          if (type != RTAUDIO_WARNING && started_.load()) {
              noteFailure(text.c_str());
              return;
          }
          std::unique_lock<std::mutex> lock(errorMutex_, std::try_to_lock);
          if (lock.owns_lock() && errorText_.empty()) errorText_ = text;
      })) {}

AudioApi::~AudioApi() {
    stopStream();
    closeStream();
    rt_.reset();
}
#else
AudioApi::AudioApi(const std::string& api) : rt_(std::make_unique<RtAudio>(apiByName(api))) {
    // Reports are captured (see report) or dropped, never printed by the library.
    rt_->showWarnings(false);
}

AudioApi::~AudioApi() {
    stopStream();
    closeStream();
    rt_.reset();
    std::lock_guard<std::mutex> lock(reporterMutex);
    if (reporter == this) reporter = nullptr;
}
#endif

std::string AudioApi::apiName() const { return RtAudio::getApiName(rt_->getCurrentApi()); }

std::vector<uint32_t> AudioApi::deviceIds() {
#ifdef CORVENA_RTAUDIO6
    const std::vector<unsigned int> ids = rt_->getDeviceIds();
    return std::vector<uint32_t>(ids.begin(), ids.end());
#else
    const unsigned int count = rt_->getDeviceCount();
    std::vector<uint32_t> ids;
    for (unsigned int i = 0; i < count; ++i) ids.push_back(i);
    return ids;
#endif
}

AudioApi::Device AudioApi::deviceInfo(uint32_t id) {
    // `probed` is left uninitialised by 5.x when probing fails; the channel counts
    // (zero for such a device) tell the same and exist in every generation.
    const RtAudio::DeviceInfo info = rt_->getDeviceInfo(id);
    Device device;
    device.name = info.name;
    device.inputChannels = info.inputChannels;
    device.outputChannels = info.outputChannels;
    device.preferredSampleRate = info.preferredSampleRate;
    device.sampleRates.assign(info.sampleRates.begin(), info.sampleRates.end());
    device.isDefaultInput = info.isDefaultInput;
    device.isDefaultOutput = info.isDefaultOutput;
    return device;
}

uint32_t AudioApi::deviceOrDefault(uint32_t id, bool input) {
#ifdef CORVENA_RTAUDIO6
    if (id == 0) return input ? rt_->getDefaultInputDevice() : rt_->getDefaultOutputDevice();
#else
    (void)input;
#endif
    return id;
}

bool AudioApi::tryDeviceInfo(uint32_t id, Device& out) {
#ifdef CORVENA_RTAUDIO6
    // An id the library does not know yields an empty description under another id.
    if (rt_->getDeviceInfo(id).ID != id) return false;
#endif
    try {
        out = deviceInfo(id);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool AudioApi::openStream(const Channels& output, const Channels& input, uint32_t sampleRate, uint32_t& blockSize,
                          Callback callback, void* userData, const Options& options) {
#ifndef CORVENA_RTAUDIO6
    {
        std::lock_guard<std::mutex> lock(reporterMutex);
        reporter = this;
    }
#endif
    callback_ = callback;
    userData_ = userData;
    RtAudio::StreamParameters out;
    out.deviceId = output.deviceId;
    out.nChannels = output.count;
    out.firstChannel = output.firstChannel;
    RtAudio::StreamParameters in;
    in.deviceId = input.deviceId;
    in.nChannels = input.count;
    in.firstChannel = input.firstChannel;
    RtAudio::StreamOptions streamOptions;
    streamOptions.flags = (options.minimizeLatency ? RTAUDIO_MINIMIZE_LATENCY : 0) |
                          (options.scheduleRealtime ? RTAUDIO_SCHEDULE_REALTIME : 0);
    streamOptions.numberOfBuffers = static_cast<int>(options.buffers);
    streamOptions.streamName = options.streamName;
    streamOptions.priority = options.priority;
    unsigned int frames = blockSize;
#ifdef CORVENA_RTAUDIO6
    if (rt_->openStream(&out, &in, RTAUDIO_FLOAT32, sampleRate, &frames, &AudioApi::streamCallback, this,
                        &streamOptions) != RTAUDIO_NO_ERROR)
        return false;
#else
    try {
        rt_->openStream(&out, &in, RTAUDIO_FLOAT32, sampleRate, &frames, &AudioApi::streamCallback, this,
                        &streamOptions, &libraryReport);
    } catch (const std::exception& e) {
        report(e.what());
        return false;
    }
#endif
    if (!rt_->isStreamOpen()) return false;
    blockSize = frames;
    buffers_ = std::max(static_cast<uint32_t>(streamOptions.numberOfBuffers), 1u);
    return true;
}

bool AudioApi::startStream() {
    started_.store(true);
#ifdef CORVENA_RTAUDIO6
    if (rt_->startStream() != RTAUDIO_NO_ERROR) return false;
#else
    try {
        rt_->startStream();
    } catch (const std::exception& e) {
        report(e.what());
    }
#endif
    return rt_->isStreamRunning();
}

bool AudioApi::serverLost() const {
    // A running stream calls back every block; silence for half a second means the
    // server stopped driving this client.
    const uint64_t seen = blocks_.load();
    for (int waited = 0; waited < 500; waited += 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (blocks_.load() != seen) return false;
    }
    return true;
}

void AudioApi::stopStream() {
    // What the library reports while we stop the stream is not a failure.
    started_.store(false);
    if (!rt_ || !rt_->isStreamRunning()) return;
    // When the JACK server goes away the library closes the stream itself, on a
    // thread of its own. Stopping or closing it at the same time frees it twice:
    // wait for that thread instead.
    if (rt_->getCurrentApi() == RtAudio::UNIX_JACK && serverLost()) {
        for (int waited = 0; waited < 2000 && rt_->isStreamOpen(); waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!rt_->isStreamOpen()) return;
    }
    try {
        rt_->stopStream();
    } catch (const std::exception&) {
    }
}

void AudioApi::closeStream() {
    if (!rt_ || !rt_->isStreamOpen()) return;
    try {
        rt_->closeStream();
    } catch (const std::exception&) {
    }
}

bool AudioApi::isStreamOpen() const { return rt_->isStreamOpen(); }

bool AudioApi::isStreamRunning() const { return rt_->isStreamRunning(); }

uint32_t AudioApi::streamSampleRate() {
    try {
        return rt_->getStreamSampleRate();
    } catch (const std::exception&) {
        return 0;
    }
}

uint32_t AudioApi::streamLatency(uint32_t blockSize, uint32_t sampleRate, bool& estimated) {
    long reported = 0;
    try {
        reported = rt_->getStreamLatency();
    } catch (const std::exception&) {
    }
    estimated = reported <= 0;
    if (!estimated) return static_cast<uint32_t>(reported);
    // Each direction holds the library's buffers of one block each and, for
    // WASAPI, the shared-mode engine's period, 10 ms on Windows and Wine alike
    // (RtAudio initialises shared mode with the default period). WASAPI asks for
    // its latency before the client is initialised, DirectSound never fills it in.
    const uint32_t period = apiName() == "wasapi" ? sampleRate / 100 : 0;
    return 2 * (buffers_ * blockSize + period);
}

void AudioApi::report(const std::string& text, bool fatal) {
    if (fatal && started_.load()) {
        noteFailure(text.c_str());
        return;
    }
    std::lock_guard<std::mutex> lock(errorMutex_);
    if (errorText_.empty()) errorText_ = text;
}

void AudioApi::noteFailure(const char* text) {
    int none = 0;
    if (!failure_.compare_exchange_strong(none, 1)) return;
    std::strncpy(failureText_.data(), text, failureText_.size() - 1);
    failure_.store(2, std::memory_order_release);
}

bool AudioApi::streamFailed(std::string& text) const {
    if (failure_.load(std::memory_order_acquire) != 2) return false;
    text = failureText_.data();
    return true;
}

std::string AudioApi::errorText() const {
    std::lock_guard<std::mutex> lock(errorMutex_);
    return errorText_;
}

int AudioApi::streamCallback(void* output, void* input, unsigned int frames, double streamTime, unsigned int status,
                             void* self) {
    auto* api = static_cast<AudioApi*>(self);
    api->blocks_.fetch_add(1, std::memory_order_relaxed);
    return api->callback_(output, input, frames, streamTime, status, api->userData_);
}

} // namespace corvena
