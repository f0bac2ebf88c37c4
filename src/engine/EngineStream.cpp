#include "engine/AudioApi.h"
#include "engine/Engine.h"

#include <algorithm>
#include <cctype>

namespace corvena {

namespace {

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
    options.streamName = "Corvena";
    options.priority = 90;

    uint32_t blockSize = request.blockSize;
    if (!audio->openStream(output, input, request.sampleRate, blockSize, &audioCallback, this, options)) {
        error = audio->errorText();
        if (error.empty()) error = "could not open the audio stream";
        audio.reset();
        return false;
    }

    prepareChain(audio->streamSampleRate(), blockSize, inputChannels, request.inputChannel);

    if (!audio->startStream()) {
        error = audio->errorText();
        if (error.empty()) error = "could not start the audio stream";
        audio->closeStream();
        audio.reset();
        info = StreamInfo{};
        return false;
    }

    info.latencyFrames = static_cast<uint32_t>(audio->streamLatency());
    info.api = audio->apiName();
    info.outputChannelCount = outputDeviceChannels;
    info.outputChannel = output.firstChannel;
    out = info;
    streamOpen.store(true);
    return true;
}

void Engine::prepareChain(uint32_t sampleRate, uint32_t blockSize, uint32_t inputChannels, uint32_t inputChannel) {
    inputChannelCount = inputChannels;
    selectedInputChannel.store(std::min(inputChannels - 1, inputChannel));
    for (auto& peak : inputPeaks) peak.store(0.0f);

    diBuffer.assign(blockSize, 0.0f);
    wetBuffer.assign(blockSize, 0.0f);
    pluginLeft.assign(blockSize, 0.0f);
    pluginRight.assign(blockSize, 0.0f);
    amp.prepare(static_cast<double>(sampleRate), static_cast<int32_t>(blockSize));
    limiter.prepare(static_cast<double>(sampleRate));
    plugin.prepare(static_cast<double>(sampleRate), static_cast<int32_t>(blockSize));
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        amp.applySettings(pendingSettings);
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

void Engine::close() {
    if (audio) {
        if (audio->isStreamRunning()) audio->stopStream();
        if (audio->isStreamOpen()) audio->closeStream();
        audio.reset();
    }
    streamOpen.store(false);
    info = StreamInfo{};
}

} // namespace corvena
