#include "engine/AudioApi.h"
#include "engine/Engine.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

namespace corvena {

namespace {

// How long a started stream may go without a block before it counts as dead:
// a second, or two blocks where a block lasts longer than half a second.
std::chrono::steady_clock::duration streamSilence(uint32_t blockSize, uint32_t sampleRate) {
    const auto twoBlocks = std::chrono::duration<double>(sampleRate == 0 ? 0.0 : 2.0 * blockSize / sampleRate);
    return std::max<std::chrono::steady_clock::duration>(
        std::chrono::seconds(1), std::chrono::duration_cast<std::chrono::steady_clock::duration>(twoBlocks));
}

// Back end for an open request: by name (any case), or, with no name, ASIO where
// it is compiled and has a device, else the library's own default ("").
bool chooseApi(const std::string& requested, std::string& api, std::string& error) {
    if (!requested.empty()) {
        std::string lower = requested;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!AudioApi::isCompiledApi(lower)) {
            error = "unknown audio API: " + requested;
            return false;
        }
        api = lower;
        return true;
    }
    api.clear();
    if (AudioApi::isCompiledApi("asio")) {
        try {
            AudioApi probe("asio");
            if (!probe.deviceIds().empty()) api = "asio";
        } catch (const std::exception&) {
        }
    }
    return true;
}

} // namespace

std::vector<DeviceRecord> Engine::listDevices() {
    std::vector<DeviceRecord> devices;
    for (const std::string& api : AudioApi::compiledApis()) {
        // A back end that fails part-way keeps what it listed so far.
        try {
            AudioApi library(api);
            const std::string name = library.apiName();
            for (uint32_t id : library.deviceIds()) {
                DeviceRecord record = library.deviceInfo(id);
                if (record.inputChannels == 0 && record.outputChannels == 0) continue;
                record.id = id;
                record.api = name;
                devices.push_back(std::move(record));
            }
        } catch (...) {
        }
    }
    return devices;
}

bool Engine::open(const OpenRequest& request, StreamInfo& out, std::string& error) {
    // The disk writer reads the rings that opening re-sizes; a running take keeps
    // its stream rather than losing its buffers.
    if (recording.load()) {
        error = "cannot open a stream while recording";
        return false;
    }
    close();

    std::string api;
    if (!chooseApi(request.api, api, error)) return false;

    try {
        audio = std::make_unique<AudioApi>(api);
    } catch (const std::exception& e) {
        audio.reset();
        error = std::string("could not initialise audio: ") + e.what();
        return false;
    }

    // A back end without a device (no sound server, nothing configured) says so
    // plainly rather than through the library's complaint about a default device.
    std::vector<uint32_t> ids;
    try {
        ids = audio->deviceIds();
    } catch (const std::exception&) {
    }
    if (ids.empty()) {
        error = "no " + audio->apiName() + " audio device is available";
        audio.reset();
        return false;
    }

    // Unreadable descriptions do not fail here: the counts fall back and the
    // library decides when opening.
    const uint32_t inputDevice = audio->deviceOrDefault(request.inputDevice, true);
    const uint32_t outputDevice = audio->deviceOrDefault(request.outputDevice, false);
    uint32_t inputChannels = 1;
    uint32_t outputDeviceChannels = 2;
    AudioApi::Device device;
    if (audio->tryDeviceInfo(inputDevice, device) && device.inputChannels > 0)
        inputChannels = std::min(device.inputChannels, maxInputChannels);
    if (audio->tryDeviceInfo(outputDevice, device) && device.outputChannels > 0)
        outputDeviceChannels = device.outputChannels;

    AudioApi::Channels output;
    output.deviceId = outputDevice;
    output.count = 2;
    output.firstChannel = outputDeviceChannels >= 2 ? std::min(outputDeviceChannels - 2, request.outputChannel) : 0;
    AudioApi::Channels input;
    input.deviceId = inputDevice;
    input.count = inputChannels;
    input.firstChannel = 0;
    AudioApi::Options options;
    options.minimizeLatency = true;
    options.scheduleRealtime = true;
    // DirectSound mixes in 10 ms periods (over WASAPI on Windows, and under
    // Wine): with the two blocks it keeps when asked for low latency its thread
    // runs dry and the stream stutters. Its buffers hold at least 20 ms.
    if (audio->apiName() == "ds") {
        options.minimizeLatency = false;
        const uint32_t block = std::max(request.blockSize, 16u);
        options.buffers = std::max(2u, (request.sampleRate / 50 + block - 1) / block);
    }
    options.streamName = "Corvena";
    options.priority = 90;

    uint32_t blockSize = request.blockSize;
    if (!audio->openStream(output, input, request.sampleRate, blockSize, &audioCallback, this, options)) {
        error = audio->errorText();
        if (error.empty()) error = "could not open the audio stream";
        audio.reset();
        return false;
    }

    const uint32_t sampleRate = audio->streamSampleRate();
    const uint32_t n = blockSize;
    prepareChain(sampleRate, n, inputChannels, request.inputChannel);

    tone.setLive(true);
    bool started = audio->startStream();
    if (!started) {
        error = audio->errorText();
        if (error.empty()) error = "could not start the audio stream";
    } else {
        // A library may start a stream that never runs (its thread gave up): it
        // counts as started only once a block arrived.
        const auto deadline = std::chrono::steady_clock::now() + streamSilence(n, sampleRate);
        std::string failure;
        while (started && audio->blocks() == 0) {
            if (audio->streamFailed(failure) || std::chrono::steady_clock::now() >= deadline) {
                error = "the audio stream did not start";
                if (!failure.empty()) error += ": " + failure;
                started = false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    if (!started) {
        tone.setLive(false);
        audio->stopStream();
        audio->closeStream();
        audio.reset();
        info = StreamInfo{};
        return false;
    }
    blocksSeen = 0;
    blockSeenAt = std::chrono::steady_clock::now();

    info.blockSize = n;
    info.latencyFrames = audio->streamLatency(n, sampleRate, info.latencyEstimated);
    info.api = audio->apiName();
    info.outputChannelCount = outputDeviceChannels;
    info.outputChannel = output.firstChannel;
    out = info;
    streamOpen.store(true);
    return true;
}

// Everything the callback touches is sized and prepared before the stream starts.
void Engine::prepareChain(uint32_t sampleRate, uint32_t blockSize, uint32_t inputChannels, uint32_t inputChannel) {
    inputChannelCount = inputChannels;
    selectedInputChannel.store(std::min(inputChannels - 1, inputChannel));
    for (auto& peak : inputPeaks) peak.store(0.0f);

    diBuffer.assign(blockSize, 0.0f);
    wetBuffer.assign(blockSize, 0.0f);
    pluginLeft.assign(blockSize, 0.0f);
    pluginRight.assign(blockSize, 0.0f);
    tone.prepare(static_cast<double>(sampleRate), static_cast<int32_t>(blockSize));
    limiter.prepare(static_cast<double>(sampleRate));
    plugin.prepare(static_cast<double>(sampleRate), static_cast<int32_t>(blockSize));
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        tone.applySettings(pendingSettings);
        settingsChanged.store(false);
    }
    const uint64_t ringSize = 4 * static_cast<uint64_t>(sampleRate) + 1;
    diRing.resize(ringSize);
    wetRing.resize(ringSize);
    // A second of DI for the tuner: the main loop drains it every level event.
    tunerRing.resize(static_cast<uint64_t>(sampleRate) + 1);
    tunerScratch.assign(8192, 0.0f);
    pitchDetector.prepare(static_cast<double>(sampleRate));
    info.sampleRate = sampleRate;
    info.blockSize = blockSize;
}

std::optional<std::string> Engine::checkStream(std::chrono::steady_clock::time_point now) {
    if (!audio || !streamOpen.load()) return std::nullopt;
    std::string reason;
    const uint64_t blocks = audio->blocks();
    if (audio->streamFailed(reason)) {
        if (reason.empty()) reason = "the audio stream failed";
    } else if (blocks != blocksSeen) {
        blocksSeen = blocks;
        blockSeenAt = now;
        return std::nullopt;
    } else if (now - blockSeenAt < streamSilence(info.blockSize, info.sampleRate)) {
        return std::nullopt;
    } else {
        reason = "the audio stream stopped";
    }
    if (recording.load()) {
        RecordingResult take;
        std::string error;
        stopRecording(take, error);
        failedTakeError = "the audio stream failed during the take: " + reason;
        if (!error.empty()) failedTakeError += "; " + error;
        failedTake = take;
    }
    close();
    return reason;
}

void Engine::close() {
    if (audio) {
        if (audio->isStreamRunning()) audio->stopStream();
        if (audio->isStreamOpen()) audio->closeStream();
        audio.reset();
    }
    tone.setLive(false);
    tone.releaseRetired();
    streamOpen.store(false);
    info = StreamInfo{};
}

} // namespace corvena
