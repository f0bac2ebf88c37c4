// The callback's hand-off to the recorder allocates nothing and never waits,
// with the real disk writer draining the rings at the same time, and also when
// a stalled disk lets the rings run full.
#include "WavFiles.h"
#include "engine/Engine.h"
#include "record/DiskWriterHook.h"
#include "support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>
#include <vector>

namespace corvena {

namespace {
std::atomic<bool> diskStalled{false};
} // namespace

void beforeDiskWriterPass(Engine&) {
    while (diskStalled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

namespace {

using test::AllocationCounter;

constexpr uint32_t rate = 48000, block = 128, channels = 2;

class HandOff : public ::testing::Test {
protected:
    void SetUp() override {
        dir = test::makeTempDir("rt");
        e.info.sampleRate = rate;
        e.info.blockSize = block;
        e.inputChannelCount = channels;
        for (auto* b : {&e.diBuffer, &e.wetBuffer, &e.pluginLeft, &e.pluginRight}) b->assign(block, 0.0f);
        e.amp.prepare(rate, block);
        e.limiter.prepare(rate);
        e.diRing.resize(4 * rate + 1);
        e.wetRing.resize(4 * rate + 1);
        e.streamOpen.store(true);
        for (uint32_t i = 0; i < block; ++i)
            for (uint32_t c = 0; c < channels; ++c) in[i * channels + c] = 0.3f * std::sin(0.05f * i + c);
    }
    void TearDown() override {
        diskStalled.store(false);
        std::filesystem::remove_all(dir);
    }

    // Runs blocks as the audio thread would, counting only on this thread.
    void runBlocks(int blocks, bool paced) {
        for (int b = 0; b < blocks; ++b) {
            {
                AllocationCounter::Scope audioThread;
                e.processBlock(out, in, block, 0);
            }
            if (paced && b % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }

    Engine e;
    std::string dir;
    float in[block * channels];
    float out[2 * block];
};

TEST_F(HandOff, WhileTheDiskWriterDrainsTheRings) {
    std::string error;
    e.setMetronome(true, 120.0f);
    ASSERT_TRUE(e.startRecording(dir + "/di.wav", dir + "/wet.wav", error)) << error;
    AllocationCounter::reset();
    runBlocks(3000, true);
    EXPECT_EQ(AllocationCounter::allocations(), 0u);
    EXPECT_EQ(AllocationCounter::lockWaits(), 0u);
    RecordingResult r;
    ASSERT_TRUE(e.stopRecording(r, error)) << error;
    EXPECT_EQ(r.frames, 3000u * block);
    EXPECT_EQ(test::readWithSndfile(dir + "/wet.wav", false).frames, 3000 * block);
}

TEST_F(HandOff, WhenTheRingsRunFull) {
    std::string error;
    diskStalled.store(true);
    ASSERT_TRUE(e.startRecording(dir + "/di.wav", dir + "/wet.wav", error)) << error;
    AllocationCounter::reset();
    runBlocks(static_cast<int>(5 * rate / block), false); // past the rings' four seconds
    EXPECT_EQ(AllocationCounter::allocations(), 0u);
    EXPECT_EQ(AllocationCounter::lockWaits(), 0u);
    EXPECT_TRUE(e.samplesDropped.load());
    diskStalled.store(false);
    RecordingResult r;
    EXPECT_FALSE(e.stopRecording(r, error));
    EXPECT_EQ(error, "samples were dropped while writing to disk");
}

} // namespace
} // namespace corvena
