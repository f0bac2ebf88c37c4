#pragma once
// An Engine set up as opening a stream leaves it, without a device: blocks are
// driven through processBlock by hand.
#include "engine/Engine.h"
#include "support/Measures.h"

#include <algorithm>
#include <vector>

namespace corvena::test {

struct EngineRig {
    explicit EngineRig(uint32_t channels = 1, uint32_t block = 128, uint32_t rate = 48000) {
        engine.prepareChain(rate, block, channels, 0);
        engine.streamOpen.store(true);
    }
    ~EngineRig() { // a take started by hand has no writer to stop
        if (!engine.writerRunning.load()) engine.recording.store(false);
    }
    void run(const float* in, uint32_t frames = 128, uint32_t status = 0) { // up to 1024 frames
        std::fill(output.begin(), output.end(), -9.0f);
        engine.processBlock(output.data(), in, frames, status);
    }
    float left(uint32_t i) const { return output[2 * i]; }
    float right(uint32_t i) const { return output[2 * i + 1]; }

    Engine engine;
    std::vector<float> output = std::vector<float>(2048);
};

} // namespace corvena::test
