// Metronome click, test tone, and the waveshaper curve.
#include "dsp/Generators.h"
#include "dsp/Waveshaper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace corvena {
namespace {

struct Metronome {
    double toNext = 0.0, phase = 0.0, frequency = 1000.0;
    int32_t beat = 0, left = 0;
    ClickState state() { return ClickState{toNext, beat, left, phase, frequency}; }
};

// Frames where a click starts, rendering one frame per call.
std::vector<std::pair<int64_t, double>> clickStarts(double fs, float bpm, int64_t frames) {
    Metronome m;
    std::vector<std::pair<int64_t, double>> starts;
    float out[2] = {};
    for (int64_t i = 0; i < frames; ++i) {
        renderMetronome(out, 1, fs, bpm, i == 0, m.state());
        if (m.left == static_cast<int32_t>(fs * 0.028) - 1) starts.emplace_back(i, m.frequency);
    }
    return starts;
}

TEST(Metronome, BeatsFallOnExactFramesWithoutDrift) {
    using Starts = std::vector<std::pair<int64_t, double>>;
    EXPECT_EQ(clickStarts(48000.0, 120.0f, 96001),
              (Starts{{0, 1600}, {24000, 1000}, {48000, 1000}, {72000, 1000}, {96000, 1600}}));
    std::vector<int64_t> frames;
    for (auto& s : clickStarts(48000.0, 110.0f, 183274)) frames.push_back(s.first);
    EXPECT_EQ(frames, (std::vector<int64_t>{0, 26182, 52364, 78546, 104728, 130910, 157091, 183273}));
    const Starts slow = clickStarts(48000.0, 5.0f, 144001); // the 20 bpm floor: every 3 s
    ASSERT_EQ(slow.size(), 2u);
    EXPECT_EQ(slow[1].first, 144000);
}

TEST(Metronome, ClickShapeClampAndBlockIndependence) {
    Metronome m;
    std::vector<float> out(4000, 0.0f);
    renderMetronome(out.data(), 2000, 44100.0, 60.0f, true, m.state());
    int last = -1;
    for (int i = 0; i < 2000; ++i)
        if (out[2 * i] != 0.0f) last = i;
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(last, 1233); // 44100 * 0.028 = 1234.8 truncates to 1234 frames

    Metronome a, b;
    std::vector<float> one(6000, 0.9f), split(6000, 0.9f);
    renderMetronome(one.data(), 3000, 48000.0, 300.0f, true, a.state());
    int at = 0;
    for (int len : {1, 128, 999, 1872}) {
        renderMetronome(split.data() + 2 * at, len, 48000.0, 300.0f, at == 0, b.state());
        at += len;
    }
    EXPECT_EQ(one, split);
    EXPECT_EQ(*std::max_element(one.begin(), one.end()), 1.0f);
}

TEST(TestTone, StartsAtZeroAndContinuesAcrossBlocks) {
    double p1 = 0.0, p2 = 0.0;
    std::vector<float> one(2000), split(2000);
    renderTestTone(one.data(), 1000, 48000.0, 440.0f, 0.15f, p1);
    renderTestTone(split.data(), 333, 48000.0, 440.0f, 0.15f, p2);
    renderTestTone(split.data() + 666, 667, 48000.0, 440.0f, 0.15f, p2);
    EXPECT_EQ(one, split);
    EXPECT_EQ(one[0], 0.0f);
    EXPECT_EQ(one[54], one[55]);
    EXPECT_NEAR(one[54], 0.15 * std::sin(2 * M_PI * 440 * 27 / 48000.0), 1e-6);
    double phase = 0.0; // the sine is rounded to float, then scaled in float
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(one[2 * i], static_cast<float>(std::sin(phase)) * 0.15f) << i;
        if ((phase += 440.0 * 2 * M_PI / 48000.0) > 2 * M_PI) phase -= 2 * M_PI;
    }
    EXPECT_GE(p1, 0.0);
    EXPECT_LE(p1, 2 * M_PI);
}

// Whatever tanh width the CPU gets: the curves within float rounding, f(0) = 0,
// the Drive asymptotes, and no dependence on a sample's place in the block.
TEST(Waveshaper, CurvesAndBlockIndependence) {
    const Waveshaper shaper;
    std::vector<float> x;
    for (float v = -12.0f; v <= 12.0f; v += 0.0137f) x.push_back(v);
    x.insert(x.end(), {0.0f, 1e30f, -1e30f});
    for (bool drive : {false, true}) {
        std::vector<float> y = x;
        shaper.process(drive, y.data(), static_cast<int32_t>(y.size()));
        for (size_t i = 0; i < x.size(); ++i) {
            const double t = std::tanh(static_cast<double>(x[i]));
            const double expected = drive ? std::tanh(1.5 * t + 0.05) - std::tanh(0.05) : t;
            ASSERT_NEAR(y[i], expected, 4e-7) << x[i];
            float alone = x[i];
            shaper.process(drive, &alone, 1);
            ASSERT_EQ(alone, y[i]) << x[i];
        }
        if (drive) {
            EXPECT_EQ(y[y.size() - 3], 0.0f);
            EXPECT_NEAR(y[y.size() - 2], 0.8638, 1e-4);
            EXPECT_NEAR(y[y.size() - 1], -0.9457, 1e-4);
        }
    }
}

} // namespace
} // namespace corvena
