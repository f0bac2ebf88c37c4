#pragma once
#include "engine/Engine.h"

#include <vector>

namespace corvena::test {

// An Engine set up by hand the way opening a stream leaves it, without a device.
struct EngineRig {
    Engine engine;
    uint32_t channels;
    uint32_t block;
    std::vector<float> output;

    explicit EngineRig(uint32_t inputChannels = 2, uint32_t blockSize = 128, uint32_t rate = 48000)
        : channels(inputChannels), block(blockSize), output(2 * static_cast<size_t>(blockSize) * 4, -9.0f) {
        engine.info.sampleRate = rate;
        engine.info.blockSize = blockSize;
        engine.inputChannelCount = inputChannels;
        for (auto* buffer : {&engine.diBuffer, &engine.wetBuffer, &engine.pluginLeft, &engine.pluginRight})
            buffer->assign(blockSize, 0.0f);
        engine.amp.prepare(rate, static_cast<int32_t>(blockSize));
        engine.amp.applySettings(engine.pendingSettings);
        engine.limiter.prepare(rate);
        engine.diRing.resize(static_cast<uint64_t>(rate) * 4);
        engine.wetRing.resize(static_cast<uint64_t>(rate) * 4);
    }
    ~EngineRig() { engine.recording.store(false); }

    // Interleaved input where channel c of frame i is f(i, c).
    template <typename F>
    std::vector<float> input(uint32_t frames, F f) const {
        std::vector<float> in(static_cast<size_t>(frames) * channels);
        for (uint32_t i = 0; i < frames; ++i)
            for (uint32_t c = 0; c < channels; ++c) in[static_cast<size_t>(i) * channels + c] = f(i, c);
        return in;
    }

    void run(const float* in, uint32_t frames, uint32_t status = 0) {
        engine.processBlock(output.data(), in, frames, status);
    }
    float left(uint32_t i) const { return output[2 * i]; }
    float right(uint32_t i) const { return output[2 * i + 1]; }
};

} // namespace corvena::test
