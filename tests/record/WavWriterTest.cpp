#include "WavFiles.h"
#include "WavWriterProbe.h"
#include "record/WavWriter.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <vector>

namespace corvena {
namespace {

using namespace corvena::test;

class WavWriterTest : public ::testing::Test {
protected:
    std::string dir = makeTempDir("wav");
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
};

TEST_F(WavWriterTest, EmptyTakeIsA44ByteFileWithTheFullHeader) {
    const std::string p = path("empty.wav");
    WavWriter w;
    ASSERT_TRUE(w.open(p, 48000, 1));
    EXPECT_TRUE(w.isOpen());
    ASSERT_TRUE(w.finalize());
    EXPECT_FALSE(w.isOpen());

    const auto b = readBytes(p);
    ASSERT_EQ(b.size(), 44u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(le32(b, 4), 36u);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(le32(b, 16), 16u);
    EXPECT_EQ(le16(b, 20), 1u);      // integer PCM
    EXPECT_EQ(le16(b, 22), 1u);      // channels
    EXPECT_EQ(le32(b, 24), 48000u);  // rate
    EXPECT_EQ(le32(b, 28), 144000u); // byte rate
    EXPECT_EQ(le16(b, 32), 3u);      // block align
    EXPECT_EQ(le16(b, 34), 24u);     // bits
    EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
    EXPECT_EQ(le32(b, 40), 0u);

    const SndInfo info = readWithSndfile(p);
    ASSERT_TRUE(info.opened);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    EXPECT_EQ(info.frames, 0);
}

TEST_F(WavWriterTest, EncodesClampedTruncatedSamplesAsLittleEndian24Bit) {
    const std::string p = path("codes.wav");
    const float inf = std::numeric_limits<float>::infinity();
    const float in[] = {0.5f, -0.5f, 1.5f, -2.0f, std::nanf(""), inf, -inf, 1.0f, -1.0f, 0.0f, -0.0f, 1e-9f};
    const int32_t expected[] = {4194303, -4194303, 8388607, -8388607, 8388607, 8388607,
                                -8388607, 8388607, -8388607, 0, 0, 0};
    constexpr int32_t n = sizeof in / sizeof in[0];
    WavWriter w;
    ASSERT_TRUE(w.open(p, 48000, 1));
    ASSERT_TRUE(w.writeSamples(in, n));
    EXPECT_EQ(w.framesWritten(), uint64_t(n));
    ASSERT_TRUE(w.finalize());

    const auto b = readBytes(p);
    ASSERT_EQ(b.size(), 44u + 3u * n);
    const uint8_t firstFour[] = {0xFF, 0xFF, 0x3F, 0x01, 0x00, 0xC0, 0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x80};
    for (size_t i = 0; i < sizeof firstFour; ++i) EXPECT_EQ(b[44 + i], firstFour[i]) << "byte " << i;
    for (int32_t i = 0; i < n; ++i) EXPECT_EQ(le24(b, 44 + 3 * i), expected[i]) << "sample " << i;

    const SndInfo info = readWithSndfile(p);
    ASSERT_EQ(info.samples.size(), size_t(n));
    for (int32_t i = 0; i < n; ++i) EXPECT_EQ(info.samples[i], expected[i]) << "sample " << i;
}

TEST_F(WavWriterTest, SizesAddUpOverManyAppends) {
    const std::string p = path("long.wav");
    std::vector<float> chunk(8192);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = std::sin(0.01f * static_cast<float>(i)) * 0.25f;
    WavWriter w;
    ASSERT_TRUE(w.open(p, 48000, 1));
    uint64_t left = 480000;
    while (left > 0) {
        const int32_t n = static_cast<int32_t>(std::min<uint64_t>(left, chunk.size()));
        ASSERT_TRUE(w.writeSamples(chunk.data(), n));
        left -= n;
    }
    ASSERT_TRUE(w.finalize());
    const auto b = readBytes(p);
    EXPECT_EQ(le32(b, 40), 1440000u);
    EXPECT_EQ(le32(b, 4), 1440036u);
    EXPECT_EQ(checkConsistentWav(p, 48000), "");
    EXPECT_EQ(readWithSndfile(p, false).frames, 480000);
}

TEST_F(WavWriterTest, RefusedOpensLeaveNoFileAndAClosedWriter) {
    WavWriter w;
    EXPECT_FALSE(w.open(path("nochannels.wav"), 48000, 0));
    EXPECT_FALSE(w.open(path("norate.wav"), 0, 1));
    EXPECT_FALSE(w.open(path("negative.wav"), -48000, 1));
    EXPECT_FALSE(w.open(dir + "/missing/dir.wav", 48000, 1));
    EXPECT_FALSE(w.isOpen());
    EXPECT_FALSE(fileExists(path("nochannels.wav")));
    EXPECT_FALSE(fileExists(path("norate.wav")));
    EXPECT_FALSE(fileExists(path("negative.wav")));

    const float x = 0.1f;
    EXPECT_FALSE(w.writeSamples(&x, 1)) << "appending to a closed writer";
    EXPECT_TRUE(w.finalize()) << "finalising a closed writer changes nothing and succeeds";
}

TEST_F(WavWriterTest, ReopeningOrDestroyingFinalisesTheOpenFile) {
    const float x[3] = {0.1f, 0.2f, 0.3f};
    {
        WavWriter w;
        ASSERT_TRUE(w.open(path("first.wav"), 48000, 1));
        ASSERT_TRUE(w.writeSamples(x, 3));
        EXPECT_FALSE(w.writeSamples(x, 0));
        ASSERT_TRUE(w.open(path("second.wav"), 48000, 1));
        ASSERT_TRUE(w.writeSamples(x, 2));
        EXPECT_EQ(w.framesWritten(), 2u);
    }
    EXPECT_EQ(checkConsistentWav(path("first.wav"), 48000), "");
    EXPECT_EQ(readWithSndfile(path("first.wav"), false).frames, 3);
    EXPECT_EQ(checkConsistentWav(path("second.wav"), 48000), "");
    EXPECT_EQ(readWithSndfile(path("second.wav"), false).frames, 2);
}

TEST_F(WavWriterTest, AFullDeviceFailsTheFinalisationAndClosesTheWriter) {
    WavWriter w;
    if (!w.open("/dev/full", 48000, 1)) GTEST_SKIP() << "/dev/full not available";
    std::vector<float> chunk(8192, 0.5f);
    // A large append reaches the device at once and must not be counted.
    EXPECT_FALSE(w.writeSamples(chunk.data(), 8192));
    EXPECT_EQ(w.framesWritten(), 0u);
    EXPECT_FALSE(w.finalize());
    EXPECT_FALSE(w.isOpen());
}

// The header's sizes are 32-bit: a take stops growing before they would wrap.
TEST_F(WavWriterTest, StopsAppendingAtTheSizeLimitAndKeepsTheHeaderTrue) {
    const std::string p = path("cut.wav");
    WavWriter w;
    WavWriterProbe::setDataLimit(w, 31); // room for 10 mono frames, not 10⅓
    ASSERT_TRUE(w.open(p, 48000, 1));
    std::vector<float> x(8, 0.25f);
    EXPECT_TRUE(w.writeSamples(x.data(), 8));
    EXPECT_FALSE(w.wasCut());
    EXPECT_FALSE(w.writeSamples(x.data(), 5)) << "only part of the append fitted";
    EXPECT_TRUE(w.wasCut());
    EXPECT_EQ(w.framesWritten(), 10u);
    EXPECT_FALSE(w.writeSamples(x.data(), 1));
    EXPECT_EQ(w.framesWritten(), 10u);
    ASSERT_TRUE(w.finalize());
    EXPECT_TRUE(w.wasCut()) << "the cut must still be known after finalising";
    EXPECT_EQ(checkConsistentWav(p, 48000), "");
    EXPECT_EQ(readWithSndfile(p, false).frames, 10);

    ASSERT_TRUE(w.open(path("next.wav"), 48000, 1));
    EXPECT_FALSE(w.wasCut()) << "a new file starts uncut";
}

TEST_F(WavWriterTest, RealSizeLimitFillsTheRiffFieldWithoutWrapping) {
    // 4 GiB is not written for real: the writer is told it already holds all
    // but two frames of the largest mono data chunk.
    const std::string p = path("huge.wav");
    WavWriter w;
    ASSERT_TRUE(w.open(p, 48000, 1));
    const uint64_t maxFrames = WavWriter::maxDataBytes / 3;
    WavWriterProbe::pretendFramesWritten(w, maxFrames - 2);
    const float x[5] = {};
    EXPECT_FALSE(w.writeSamples(x, 5));
    EXPECT_TRUE(w.wasCut());
    EXPECT_EQ(w.framesWritten(), maxFrames);
    ASSERT_TRUE(w.finalize());
    const auto b = readBytes(p);
    EXPECT_EQ(le32(b, 4), 0xFFFFFFFFu);
    EXPECT_EQ(le32(b, 40), 0xFFFFFFFFu - 36);
}

} // namespace
} // namespace corvena
