#pragma once
#include "engine/Engine.h"

namespace corvena::test {

// A stream set up by hand, so blocks can be driven through processBlock.
inline void prepareStream(Engine& e, uint32_t rate, uint32_t block, uint32_t channels) {
    e.info.sampleRate = rate;
    e.info.blockSize = block;
    e.inputChannelCount = channels;
    for (auto* b : {&e.diBuffer, &e.wetBuffer, &e.pluginLeft, &e.pluginRight}) b->assign(block, 0.0f);
    e.amp.prepare(rate, block);
    e.limiter.prepare(rate);
    e.diRing.resize(4 * rate + 1);
    e.wetRing.resize(4 * rate + 1);
    e.streamOpen.store(true);
}
} // namespace corvena::test
