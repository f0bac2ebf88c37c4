#include "WavFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <vector>

namespace corvena {
namespace {

using namespace corvena::test;

class WavWriterTest : public ::testing::Test {
protected:
    std::string dir = testDir();
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
};

TEST_F(WavWriterTest, EmptyTakeIsA44ByteFileWithTheFullHeader) {
    WavWriter w;
    ASSERT_TRUE(w.open(path("empty.wav"), 48000, 1));
    ASSERT_TRUE(w.finalize());
    EXPECT_FALSE(w.isOpen());

    // RIFF size 36; fmt chunk 16: PCM, 1 channel, 48000 Hz, 144000 bytes/s, align 3, 24 bits; data size 0.
    const auto b = readBytes(path("empty.wav"));
    EXPECT_EQ(std::string(b.begin(), b.end()),
              std::string("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x80\xBB\0\0\x80\x32\x02\0\x03\0\x18\0data\0\0\0\0", 44));
    EXPECT_EQ(checkWav(path("empty.wav"), 48000, 0), "");
}

TEST_F(WavWriterTest, EncodesClampedTruncatedSamplesAsLittleEndian24Bit) {
    const float inf = std::numeric_limits<float>::infinity();
    const float in[] = {0.5f, -0.5f, 1.5f, -2.0f, std::nanf(""), inf, -inf, 1.0f, -1.0f, 0.0f, -0.0f, 1e-9f};
    const int32_t expected[] = {4194303, -4194303, 8388607, -8388607, 8388607, 8388607,
                                -8388607, 8388607, -8388607, 0, 0, 0};
    constexpr int32_t n = sizeof in / sizeof in[0];
    WavWriter w;
    ASSERT_TRUE(w.open(path("codes.wav"), 48000, 1));
    ASSERT_TRUE(w.writeSamples(in, n));
    EXPECT_EQ(w.framesWritten(), uint64_t(n));
    ASSERT_TRUE(w.finalize());

    const auto b = readBytes(path("codes.wav"));
    ASSERT_EQ(b.size(), 44u + 3u * n);
    const uint8_t firstFour[] = {0xFF, 0xFF, 0x3F, 0x01, 0x00, 0xC0, 0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x80};
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 44, b.begin() + 56), std::vector<uint8_t>(firstFour, firstFour + 12));
    const SndInfo info = readWithSndfile(path("codes.wav"));
    EXPECT_EQ(info.format, kWavPcm24);
    EXPECT_EQ(info.samples, std::vector<int32_t>(expected, expected + n));
}

// Many appends add up; reopening finalises the first file, destroying the second.
TEST_F(WavWriterTest, SizesAddUpAndEveryFileIsFinalised) {
    const std::vector<float> chunk(8192, 0.25f);
    {
        WavWriter w;
        ASSERT_TRUE(w.open(path("long.wav"), 48000, 1));
        for (uint64_t left = 480000; left > 0;) {
            const int32_t n = static_cast<int32_t>(std::min<uint64_t>(left, chunk.size()));
            ASSERT_TRUE(w.writeSamples(chunk.data(), n));
            left -= n;
        }
        EXPECT_FALSE(w.writeSamples(chunk.data(), 0));
        ASSERT_TRUE(w.open(path("second.wav"), 48000, 1));
        ASSERT_TRUE(w.writeSamples(chunk.data(), 2));
        EXPECT_EQ(w.framesWritten(), 2u);
    }
    const auto b = readBytes(path("long.wav"));
    EXPECT_EQ(le32(b, 40), 1440000u);
    EXPECT_EQ(le32(b, 4), 1440036u);
    EXPECT_EQ(checkWav(path("long.wav"), 48000, 480000), "");
    EXPECT_EQ(checkWav(path("second.wav"), 48000, 2), "");
}

TEST_F(WavWriterTest, RefusedOpensLeaveNoFileAndAClosedWriter) {
    WavWriter w;
    EXPECT_FALSE(w.open(path("nochannels.wav"), 48000, 0));
    EXPECT_FALSE(w.open(path("norate.wav"), 0, 1));
    EXPECT_FALSE(w.open(path("negative.wav"), -48000, 1));
    EXPECT_FALSE(w.open(dir + "/missing/dir.wav", 48000, 1));
    EXPECT_FALSE(w.isOpen());
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    const float x = 0.1f;
    EXPECT_FALSE(w.writeSamples(&x, 1)) << "appending to a closed writer";
    EXPECT_TRUE(w.finalize()) << "finalising a closed writer changes nothing and succeeds";

}

// Paths arrive as UTF-8; the file must get exactly that name (Windows converts it to UTF-16).
TEST_F(WavWriterTest, WritesUnderANonAsciiPathByItsExactName) {
    const std::string folder = dir + "/Jos\xC3\xA9/M\xC3\xBAsica";
    std::filesystem::create_directories(std::filesystem::u8path(folder));
    WavWriter w;
    ASSERT_TRUE(w.open(folder + "/toma 1.wav", 44100, 1));
    const float x[3] = {0.5f, 0.0f, -0.5f};
    ASSERT_TRUE(w.writeSamples(x, 3));
    ASSERT_TRUE(w.finalize());
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(folder)))
        names.push_back(entry.path().filename().u8string());
    EXPECT_EQ(names, std::vector<std::string>{"toma 1.wav"});
    EXPECT_EQ(checkWav(folder + "/toma 1.wav", 44100, 3), "");
}

// The header's sizes are 32-bit: a take stops growing before they would wrap.
TEST_F(WavWriterTest, StopsAppendingAtTheSizeLimitAndKeepsTheHeaderTrue) {
    WavWriter w;
    WavWriterProbe::setDataLimit(w, 31); // room for 10 mono frames, not 10⅓
    ASSERT_TRUE(w.open(path("cut.wav"), 48000, 1));
    std::vector<float> x(8, 0.25f);
    EXPECT_TRUE(w.writeSamples(x.data(), 8));
    EXPECT_FALSE(w.wasCut());
    EXPECT_FALSE(w.writeSamples(x.data(), 5)) << "only part of the append fitted";
    EXPECT_FALSE(w.writeSamples(x.data(), 1));
    EXPECT_EQ(w.framesWritten(), 10u);
    ASSERT_TRUE(w.finalize());
    EXPECT_TRUE(w.wasCut()) << "the cut must still be known after finalising";
    EXPECT_EQ(checkWav(path("cut.wav"), 48000, 10), "");

    // The real limit, without writing 4 GiB: all but two frames are taken as written.
    WavWriterProbe::setDataLimit(w, WavWriter::maxDataBytes);
    ASSERT_TRUE(w.open(path("huge.wav"), 48000, 1));
    EXPECT_FALSE(w.wasCut()) << "a new file starts uncut";
    WavWriterProbe::pretendFramesWritten(w, WavWriter::maxDataBytes / 3 - 2);
    EXPECT_FALSE(w.writeSamples(x.data(), 5));
    EXPECT_EQ(w.framesWritten(), WavWriter::maxDataBytes / 3);
    ASSERT_TRUE(w.finalize());
    const auto b = readBytes(path("huge.wav"));
    EXPECT_EQ(le32(b, 4), 0xFFFFFFFFu);
    EXPECT_EQ(le32(b, 40), 0xFFFFFFFFu - 36);
}

} // namespace
} // namespace corvena
