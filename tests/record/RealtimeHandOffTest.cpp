// The callback's hand-off to the recorder allocates nothing and never waits,
// while the real disk writer drains the rings and while a stalled disk lets them run full.
#include "TakeRig.h"
#include "WavFiles.h"
#include "support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

namespace corvena {
namespace {

using test::AllocationCounter;
using test::diskStalled;

TEST(HandOff, NeitherAllocatesNorWaitsWhetherTheDiskKeepsUpOrNot) {
    constexpr uint32_t rate = 48000, block = 128, channels = 2;
    Engine e;
    test::prepareStream(e, rate, block, channels);
    float in[block * channels], out[2 * block];
    for (uint32_t i = 0; i < block * channels; ++i) in[i] = 0.3f * std::sin(0.05f * i);
    auto runBlocks = [&](uint32_t blocks, bool paced) {
        for (uint32_t b = 0; b < blocks; ++b) {
            {
                AllocationCounter::Scope audioThread;
                e.processBlock(out, in, block, 0);
            }
            if (paced && b % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    };
    const std::string dir = test::testDir();
    std::string error;
    e.setMetronome(true, 120.0f);
    diskStalled.store(true);
    ASSERT_TRUE(e.startRecording(dir + "/di.wav", dir + "/wet.wav", error)) << error;
    AllocationCounter::reset();
    runBlocks(5 * rate / block, false); // past the rings' four seconds
    EXPECT_EQ(AllocationCounter::allocations(), 0u) << "with full rings";
    EXPECT_EQ(AllocationCounter::lockWaits(), 0u) << "with full rings";
    EXPECT_TRUE(e.samplesDropped.load());

    diskStalled.store(false);
    runBlocks(3000, true);
    EXPECT_EQ(AllocationCounter::allocations(), 0u) << "while the writer drains";
    EXPECT_EQ(AllocationCounter::lockWaits(), 0u) << "while the writer drains";
    RecordingResult r;
    EXPECT_FALSE(e.stopRecording(r, error));
    EXPECT_EQ(error, "samples were dropped while writing to disk");
    EXPECT_EQ(r.frames, (3000u + 5 * rate / block) * block);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace corvena
