// The recorder's pieces: the sample ring and the WAV writer.
#include "WavFiles.h"
#include "record/SampleRing.h"
#include "record/WavWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <numeric>
#include <thread>
#include <vector>

namespace corvena {
namespace {
using namespace corvena::test;

TEST(SampleRing, BoundsWrapAndPartialPushes) {
    SampleRing ring;
    std::vector<float> in(20), out(20, -1.0f);
    std::iota(in.begin(), in.end(), 1.0f);
    EXPECT_EQ(ring.push(in.data(), 4) + ring.pop(out.data(), 4), 0u) << "no storage yet";
    ring.resize(9);
    EXPECT_EQ(ring.push(in.data(), 20), 8u) << "holds one less than its capacity";
    EXPECT_EQ(ring.push(in.data(), 1), 0u);
    EXPECT_EQ(ring.pop(out.data(), 20), 8u);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 9), (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, -1}));
    EXPECT_EQ(ring.pop(out.data(), 20), 0u);
    ring.push(in.data(), 3);
    ring.reset();
    EXPECT_EQ(ring.pop(out.data(), 4), 0u) << "reset discards";
    ring.push(in.data(), 3);
    ring.resize(17);
    EXPECT_EQ(ring.pop(out.data(), 4), 0u) << "resize discards";
}

// A producer in blocks, retrying what the ring did not take, and a consumer at
// another pace: every sample arrives exactly once and in order, through many
// wraps and partial pushes and pops that straddle the end of the storage.
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
        for (uint64_t i = 0; i < got; ++i) mismatches += chunk[i] != static_cast<float>((received + i) % 16'000'000);
        received += got;
        if (got == 0) std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(received, total);
}

struct WavWriterTest : ::testing::Test, TestFolder {};

TEST_F(WavWriterTest, HeaderAndClampedTruncatedLittleEndianCodes) {
    WavWriter w;
    ASSERT_TRUE(w.open(path("empty.wav"), 48000, 1));
    ASSERT_TRUE(w.finalize());
    EXPECT_FALSE(w.isOpen());
    // RIFF size 36; fmt chunk 16: PCM, 1 channel, 48000 Hz, 144000 bytes/s, align 3, 24 bits; data size 0.
    const auto empty = readBytes(path("empty.wav"));
    EXPECT_EQ(std::string(empty.begin(), empty.end()),
              std::string("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x80\xBB\0\0\x80\x32\x02\0\x03\0\x18\0data\0\0\0\0", 44));

    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> in = {0.5f, -0.5f, 1.5f, -2.0f, std::nanf(""), inf, -inf, 1.0f, -1.0f, 0.0f, -0.0f, 1e-9f};
    const std::vector<int32_t> codes = {4194303, -4194303, 8388607, -8388607, 8388607, 8388607, -8388607, 8388607, -8388607, 0, 0, 0};
    {
        WavWriter other; // appends add up; opening again finalises the last file, so does destruction
        ASSERT_TRUE(other.open(path("first.wav"), 44100, 1) && other.writeSamples(in.data(), 5) && other.writeSamples(in.data(), 7));
        ASSERT_TRUE(other.open(path("codes.wav"), 48000, 1) && other.writeSamples(in.data(), 12));
    }
    EXPECT_EQ(checkWav(path("first.wav"), 44100, 12), "");
    EXPECT_EQ(checkWav(path("codes.wav"), 48000, 12), "");
    const auto b = readBytes(path("codes.wav"));
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 44, b.begin() + 50), (std::vector<uint8_t>{0xFF, 0xFF, 0x3F, 0x01, 0x00, 0xC0}));
    EXPECT_EQ(readSamples(path("codes.wav")), codes);
}

// Refused opens leave no file and a closed writer. Paths arrive as UTF-8; the
// file gets exactly that name (Windows converts it to UTF-16).
TEST_F(WavWriterTest, RefusedOpensAndNonAsciiPaths) {
    WavWriter w;
    EXPECT_FALSE(w.open(path("nochannels.wav"), 48000, 0) || w.open(path("norate.wav"), 0, 1) ||
                 w.open(path("negative.wav"), -48000, 1) || w.open(dir + "/missing/dir.wav", 48000, 1));
    EXPECT_FALSE(w.isOpen());
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    const float x = 0.1f;
    EXPECT_FALSE(w.writeSamples(&x, 1)) << "appending to a closed writer";
    EXPECT_TRUE(w.finalize()) << "finalising a closed writer changes nothing and succeeds";

    const std::string folder = dir + "/Jos\xC3\xA9/M\xC3\xBAsica";
    std::filesystem::create_directories(std::filesystem::u8path(folder));
    ASSERT_TRUE(w.open(folder + "/toma 1.wav", 44100, 1) && w.finalize());
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(folder)))
        names.push_back(entry.path().filename().u8string());
    EXPECT_EQ(names, std::vector<std::string>{"toma 1.wav"});
}

} // namespace
} // namespace corvena
