// Test tone and metronome click.
#include "dsp/Generators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace corvena {
namespace {

struct Metronome {
    double toNext = 0.0;
    int32_t beat = 0;
    int32_t left = 0;
    double phase = 0.0;
    double frequency = 1000.0;
    ClickState state() { return ClickState{toNext, beat, left, phase, frequency}; }
};

struct Click {
    int64_t frame;
    double frequency;
};

// Renders frame by frame; a click started on the frame after which exactly
// one of its frames has been rendered.
std::vector<Click> clickStarts(double fs, float bpm, int64_t frames) {
    Metronome m;
    std::vector<Click> starts;
    const int32_t length = static_cast<int32_t>(fs * 0.028);
    float out[2] = {};
    for (int64_t i = 0; i < frames; ++i) {
        renderMetronome(out, 1, fs, bpm, i == 0, m.state());
        if (m.left == length - 1) starts.push_back({i, m.frequency});
    }
    return starts;
}

TEST(Metronome, ClicksAt120BpmFallOnExactFramesWithAccentEveryFourth) {
    const auto starts = clickStarts(48000.0, 120.0f, 96001);
    ASSERT_EQ(starts.size(), 5u);
    const int64_t frames[] = {0, 24000, 48000, 72000, 96000};
    const double pitches[] = {1600, 1000, 1000, 1000, 1600};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(starts[i].frame, frames[i]);
        EXPECT_EQ(starts[i].frequency, pitches[i]);
    }
}

TEST(Metronome, FractionalBeatLengthsDoNotDrift) {
    const auto starts = clickStarts(48000.0, 110.0f, 183274);
    const int64_t expected[] = {0, 26182, 52364, 78546, 104728, 130910, 157091, 183273};
    ASSERT_EQ(starts.size(), 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(starts[i].frame, expected[i]);
}

TEST(Metronome, ClickLengthShapeAndBlockIndependence) {
    // 44100 Hz: 1234.8 frames truncate to 1234; the click starts with a 0 sample.
    Metronome m;
    std::vector<float> out(2 * 2000, 0.0f);
    renderMetronome(out.data(), 2000, 44100.0, 60.0f, true, m.state());
    EXPECT_EQ(out[0], 0.0f);
    int last = -1;
    for (int i = 0; i < 2000; ++i) {
        EXPECT_EQ(out[2 * i], out[2 * i + 1]);
        if (out[2 * i] != 0.0f) last = i;
        EXPECT_LE(std::fabs(out[2 * i]), 0.5f);
    }
    EXPECT_EQ(last, 1233);

    // The same 3000 frames in one block or in uneven blocks.
    Metronome a, b;
    std::vector<float> one(6000, 0.0f), split(6000, 0.0f);
    renderMetronome(one.data(), 3000, 48000.0, 300.0f, true, a.state());
    int at = 0;
    for (int len : {1, 128, 999, 1872}) {
        renderMetronome(split.data() + 2 * at, len, 48000.0, 300.0f, at == 0, b.state());
        at += len;
    }
    EXPECT_EQ(one, split);
}

TEST(Metronome, ClickOnFullScaleClampsAndTempoFloorApplies) {
    Metronome m;
    std::vector<float> out(2 * 400, 1.0f);
    renderMetronome(out.data(), 400, 48000.0, 120.0f, true, m.state());
    for (float y : out) ASSERT_LE(y, 1.0f);
    EXPECT_EQ(out[2 * 10], 1.0f);

    const auto starts = clickStarts(48000.0, 5.0f, 3 * 48000 + 1); // floor of 20 bpm: one click every 3 s
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].frame, 144000);
}

TEST(TestTone, StartsAtZeroAndContinuesAcrossBlocks) {
    double phase = 0.0;
    std::vector<float> one(2 * 1000);
    renderTestTone(one.data(), 1000, 48000.0, 440.0f, 0.15f, phase);
    EXPECT_EQ(one[0], 0.0f);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(one[2 * i], one[2 * i + 1]);
        EXPECT_LE(std::fabs(one[2 * i]), 0.15f);
    }
    EXPECT_NEAR(one[2 * 27], 0.15 * std::sin(2 * M_PI * 440 * 27 / 48000.0), 1e-6);

    double phase2 = 0.0;
    std::vector<float> split(2 * 1000);
    renderTestTone(split.data(), 333, 48000.0, 440.0f, 0.15f, phase2);
    renderTestTone(split.data() + 666, 667, 48000.0, 440.0f, 0.15f, phase2);
    EXPECT_EQ(one, split);
    EXPECT_EQ(phase, phase2);
    EXPECT_GE(phase, 0.0);
    EXPECT_LE(phase, 2 * M_PI);
}

} // namespace
} // namespace corvena
