// Metronome click: beat frames, accent, click length and block independence.
#include "dsp/Generators.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace corvena {
namespace {

struct Metronome {
    double toNext = 0.0, phase = 0.0, frequency = 1000.0;
    int32_t beat = 0, left = 0;
    ClickState state() { return ClickState{toNext, beat, left, phase, frequency}; }
};

// Frames where a click starts, with its pitch, rendering one frame per call.
std::vector<std::pair<int64_t, double>> clickStarts(float bpm, int64_t frames) {
    Metronome m;
    std::vector<std::pair<int64_t, double>> starts;
    float out[2] = {};
    for (int64_t i = 0; i < frames; ++i) {
        renderMetronome(out, 1, 48000.0, bpm, i == 0, m.state());
        if (m.left == 1343) starts.emplace_back(i, m.frequency);
    }
    return starts;
}

TEST(Metronome, BeatsFallOnExactFramesWithoutDrift) {
    using Starts = std::vector<std::pair<int64_t, double>>;
    EXPECT_EQ(clickStarts(120.0f, 96001), (Starts{{0, 1600}, {24000, 1000}, {48000, 1000}, {72000, 1000}, {96000, 1600}}));
    std::vector<int64_t> frames;
    for (auto& s : clickStarts(110.0f, 183274)) frames.push_back(s.first);
    EXPECT_EQ(frames, (std::vector<int64_t>{0, 26182, 52364, 78546, 104728, 130910, 157091, 183273}));
    const Starts slow = clickStarts(5.0f, 144001); // the 20 bpm floor: every 3 s
    ASSERT_EQ(slow.size(), 2u);
    EXPECT_EQ(slow[1].first, 144000);
}

TEST(Metronome, ClickLengthClampAndBlockIndependence) {
    Metronome a, b, c;
    std::vector<float> one(6000, 0.0f), split(6000, 0.0f), loud(200, 0.9f);
    renderMetronome(one.data(), 3000, 44100.0, 60.0f, true, a.state());
    int at = 0;
    for (int len : {1, 128, 999, 1872}) {
        renderMetronome(split.data() + 2 * at, len, 44100.0, 60.0f, at == 0, b.state());
        at += len;
    }
    EXPECT_EQ(one, split);
    int last = -1;
    for (int i = 0; i < 3000; ++i)
        if (one[2 * i] != 0.0f) last = i;
    EXPECT_EQ(one[0], 0.0f);
    EXPECT_EQ(last, 1233); // 44100 * 0.028 = 1234.8 truncates to 1234 frames
    renderMetronome(loud.data(), 100, 48000.0, 120.0f, true, c.state());
    EXPECT_EQ(*std::max_element(loud.begin(), loud.end()), 1.0f);
}

} // namespace
} // namespace corvena
