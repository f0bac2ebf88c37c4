#pragma once
// Takes on an Engine of the test's own. Include in one source file per test binary:
// it defines the disk writer's hook, which holds the writer back while
// `diskStalled` is set, as a disk that stopped answering would.
#include "engine/Engine.h"
#include "record/DiskWriterHook.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace corvena {

namespace test {
std::atomic<bool> diskStalled{false};

// A stream set up by hand, so blocks can be driven through processBlock.
inline void prepareStream(Engine& e, uint32_t rate, uint32_t block, uint32_t channels) {
    e.info.sampleRate = rate;
    e.info.blockSize = block;
    e.inputChannelCount = channels;
    for (auto* b : {&e.diBuffer, &e.wetBuffer, &e.pluginLeft, &e.pluginRight}) b->assign(block, 0.0f);
    e.tone.prepare(rate, block);
    e.limiter.prepare(rate);
    e.diRing.resize(4 * rate + 1);
    e.wetRing.resize(4 * rate + 1);
    e.streamOpen.store(true);
}
} // namespace test

void beforeDiskWriterPass(Engine&) {
    while (test::diskStalled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace corvena
