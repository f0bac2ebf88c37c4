#include "record/SampleRing.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace corvena {
namespace {

std::vector<float> ramp(size_t count, float start) {
    std::vector<float> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = start + static_cast<float>(i);
    return v;
}

TEST(SampleRing, EmptyStorageTakesAndGivesNothing) {
    SampleRing ring;
    float x[4] = {1, 2, 3, 4};
    EXPECT_EQ(ring.push(x, 4), 0u);
    EXPECT_EQ(ring.pop(x, 4), 0u);
}

TEST(SampleRing, HoldsOneLessThanCapacityAndRefusesWhenFull) {
    SampleRing ring;
    ring.resize(9);
    const auto in = ramp(20, 1.0f);
    EXPECT_EQ(ring.push(in.data(), 20), 8u);
    EXPECT_EQ(ring.push(in.data(), 1), 0u) << "a full ring must not take more";

    std::vector<float> out(20, -1.0f);
    EXPECT_EQ(ring.pop(out.data(), 20), 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(out[i], in[i]);
    EXPECT_EQ(out[8], -1.0f) << "pop wrote past what it returned";
    EXPECT_EQ(ring.pop(out.data(), 20), 0u) << "an emptied ring must give nothing";
}

TEST(SampleRing, WrapsAroundTheEndOfItsStorage) {
    SampleRing ring;
    ring.resize(8);
    std::vector<float> out(8);
    // Walk the indices round the storage several times with pieces that straddle the end.
    float next = 0.0f, expected = 0.0f;
    for (int round = 0; round < 10; ++round) {
        const auto in = ramp(5, next);
        ASSERT_EQ(ring.push(in.data(), 5), 5u);
        next += 5.0f;
        ASSERT_EQ(ring.pop(out.data(), 3), 3u);
        ASSERT_EQ(ring.pop(out.data() + 3, 8), 2u);
        for (int i = 0; i < 5; ++i) ASSERT_EQ(out[i], expected++) << "round " << round;
    }
}

TEST(SampleRing, PartialPushWhenNearlyFullKeepsTheFirstSamples) {
    SampleRing ring;
    ring.resize(11);
    const auto a = ramp(7, 0.0f);
    ASSERT_EQ(ring.push(a.data(), 7), 7u);
    const auto b = ramp(6, 100.0f);
    EXPECT_EQ(ring.push(b.data(), 6), 3u);

    std::vector<float> out(16);
    ASSERT_EQ(ring.pop(out.data(), 16), 10u);
    EXPECT_EQ(out[6], 6.0f);
    EXPECT_EQ(out[7], 100.0f);
    EXPECT_EQ(out[9], 102.0f);
}

TEST(SampleRing, ResetDiscardsAndResizeZeroes) {
    SampleRing ring;
    ring.resize(5);
    const auto a = ramp(3, 1.0f);
    ring.push(a.data(), 3);
    ring.reset();
    float out[4];
    EXPECT_EQ(ring.pop(out, 4), 0u);

    ring.push(a.data(), 3);
    ring.resize(17);
    EXPECT_EQ(ring.capacity(), 17u);
    EXPECT_EQ(ring.pop(out, 4), 0u);
}

// A producer in fixed blocks and a consumer at a different pace: every sample
// must arrive exactly once and in order, with nothing lost when the producer
// retries what the ring did not take.
TEST(SampleRing, TwoThreadsDeliverEverySampleOnceInOrder) {
    constexpr uint64_t total = 4'000'000;
    SampleRing ring;
    ring.resize(4 * 1024 + 1);

    std::thread producer([&] {
        std::vector<float> block(128);
        uint64_t sent = 0;
        unsigned spin = 0;
        while (sent < total) {
            const uint64_t n = std::min<uint64_t>(block.size(), total - sent);
            for (uint64_t i = 0; i < n; ++i) block[i] = static_cast<float>((sent + i) % 16'000'000);
            uint64_t done = 0;
            while (done < n) {
                done += ring.push(block.data() + done, n - done);
                if (done < n && (++spin & 7) == 0) std::this_thread::yield();
            }
            sent += n;
        }
    });

    std::vector<float> chunk(3001);
    uint64_t received = 0, mismatches = 0;
    uint64_t turn = 0;
    while (received < total) {
        // Vary the reading pace: sometimes small bites, sometimes a full gulp.
        const uint64_t want = (turn++ % 3 == 0) ? 17 : chunk.size();
        const uint64_t got = ring.pop(chunk.data(), want);
        for (uint64_t i = 0; i < got; ++i)
            if (chunk[i] != static_cast<float>((received + i) % 16'000'000)) ++mismatches;
        received += got;
        if (got == 0) std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(received, total);
    EXPECT_EQ(ring.pop(chunk.data(), chunk.size()), 0u);
}

} // namespace
} // namespace corvena
