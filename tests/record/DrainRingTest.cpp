#include "WavFiles.h"
#include "record/DrainRing.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace corvena {
namespace {

using namespace corvena::test;

TEST(DrainRing, EmptiesTheRingInScratchSizedChunksIntoTheFile) {
    const std::string dir = makeTempDir("drain");
    const std::string p = dir + "/d.wav";
    SampleRing ring;
    ring.resize(1001);
    std::vector<float> in(1000);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i) / 2048.0f;
    ASSERT_EQ(ring.push(in.data(), in.size()), 1000u);

    WavWriter w;
    ASSERT_TRUE(w.open(p, 48000, 1));
    std::vector<float> scratch(64); // many pops, the last one partial
    EXPECT_TRUE(drainRing(ring, w, scratch));
    EXPECT_FALSE(drainRing(ring, w, scratch)) << "nothing left to pop";
    ASSERT_TRUE(w.finalize());

    const SndInfo info = readWithSndfile(p);
    ASSERT_EQ(info.samples.size(), 1000u);
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(info.samples[i], static_cast<int32_t>(in[i] * 8388607.0f)) << "sample " << i;
    std::filesystem::remove_all(dir);
}

TEST(DrainRing, WithoutAnOpenFileStillEmptiesTheRing) {
    SampleRing ring;
    ring.resize(100);
    std::vector<float> in(50, 0.5f);
    ring.push(in.data(), in.size());
    WavWriter closed;
    std::vector<float> scratch(8);
    EXPECT_TRUE(drainRing(ring, closed, scratch));
    EXPECT_EQ(ring.pop(scratch.data(), scratch.size()), 0u);
}

} // namespace
} // namespace corvena
