#include "WavFiles.h"
#include "record/DrainRing.h"
#include "record/SampleRing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

namespace corvena {
namespace {

std::vector<float> ramp(size_t count, float start) {
    std::vector<float> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = start + static_cast<float>(i);
    return v;
}

TEST(SampleRing, FullAndEmptyBoundaries) {
    SampleRing ring;
    const auto in = ramp(20, 1.0f);
    std::vector<float> out(20, -1.0f);
    EXPECT_EQ(ring.push(in.data(), 4) + ring.pop(out.data(), 4), 0u) << "no storage yet";

    ring.resize(9);
    EXPECT_EQ(ring.push(in.data(), 20), 8u) << "holds one less than its capacity";
    EXPECT_EQ(ring.push(in.data(), 1), 0u) << "a full ring must not take more";
    EXPECT_EQ(ring.pop(out.data(), 20), 8u);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 8), std::vector<float>(in.begin(), in.begin() + 8));
    EXPECT_EQ(out[8], -1.0f) << "pop wrote past what it returned";
    EXPECT_EQ(ring.pop(out.data(), 20), 0u) << "an emptied ring must give nothing";

    ring.push(in.data(), 3);
    ring.reset();
    EXPECT_EQ(ring.pop(out.data(), 4), 0u) << "reset discards";
    ring.push(in.data(), 3);
    ring.resize(17);
    EXPECT_EQ(ring.pop(out.data(), 4), 0u) << "resize discards";
    EXPECT_EQ(ring.capacity(), 17u);
}

TEST(SampleRing, WrapsAroundAndPushesPartlyWhenNearlyFull) {
    SampleRing ring;
    ring.resize(8);
    std::vector<float> out(16);
    // Pieces that straddle the end of the storage, several times round.
    float expected = 0.0f;
    for (int round = 0; round < 10; ++round) {
        const auto in = ramp(5, 5.0f * round);
        ASSERT_EQ(ring.push(in.data(), 5), 5u);
        ASSERT_EQ(ring.pop(out.data(), 3), 3u);
        ASSERT_EQ(ring.pop(out.data() + 3, 8), 2u);
        for (int i = 0; i < 5; ++i) ASSERT_EQ(out[i], expected++) << "round " << round;
    }

    ring.resize(11);
    const auto a = ramp(7, 0.0f), b = ramp(6, 100.0f);
    ASSERT_EQ(ring.push(a.data(), 7), 7u);
    EXPECT_EQ(ring.push(b.data(), 6), 3u) << "only what fits, from the start";
    ASSERT_EQ(ring.pop(out.data(), 16), 10u);
    EXPECT_EQ(out[6], 6.0f);
    EXPECT_EQ(out[7], 100.0f);
    EXPECT_EQ(out[9], 102.0f);
}

// A producer in blocks, retrying what the ring did not take, and a consumer at
// another pace: every sample must arrive exactly once and in order.
TEST(SampleRing, TwoThreadsDeliverEverySampleOnceInOrder) {
    constexpr uint64_t total = 4'000'000;
    SampleRing ring;
    ring.resize(4 * 1024 + 1);
    std::thread producer([&] {
        std::vector<float> block(128);
        for (uint64_t sent = 0; sent < total; sent += block.size()) {
            for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<float>((sent + i) % 16'000'000);
            for (size_t done = 0, spin = 0; done < block.size(); ++spin) {
                done += ring.push(block.data() + done, block.size() - done);
                if ((spin & 7) == 7) std::this_thread::yield();
            }
        }
    });
    std::vector<float> chunk(3001);
    uint64_t received = 0, mismatches = 0;
    for (uint64_t turn = 0; received < total; ++turn) {
        const uint64_t got = ring.pop(chunk.data(), turn % 3 == 0 ? 17 : chunk.size());
        for (uint64_t i = 0; i < got; ++i)
            mismatches += chunk[i] != static_cast<float>((received + i) % 16'000'000);
        received += got;
        if (got == 0) std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(received, total);
    EXPECT_EQ(ring.pop(chunk.data(), chunk.size()), 0u);
}

TEST(DrainRing, EmptiesTheRingInScratchSizedChunksWithOrWithoutAFile) {
    const std::string dir = test::testDir();
    SampleRing ring;
    ring.resize(1001);
    auto in = ramp(1000, 0.0f);
    for (auto& x : in) x /= 2048.0f;
    ASSERT_EQ(ring.push(in.data(), in.size()), 1000u);
    WavWriter w;
    ASSERT_TRUE(w.open(dir + "/d.wav", 48000, 1));
    std::vector<float> scratch(64); // many pops, the last one partial
    EXPECT_TRUE(drainRing(ring, w, scratch));
    EXPECT_FALSE(drainRing(ring, w, scratch)) << "nothing left to pop";
    ASSERT_TRUE(w.finalize());
    const auto samples = test::readWithSndfile(dir + "/d.wav").samples;
    ASSERT_EQ(samples.size(), 1000u);
    for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(samples[i], int32_t(in[i] * 8388607.0f)) << "sample " << i;

    ring.push(in.data(), 50);
    EXPECT_TRUE(drainRing(ring, w, scratch)) << "a closed file still empties the ring";
    EXPECT_EQ(ring.pop(scratch.data(), scratch.size()), 0u);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace corvena
