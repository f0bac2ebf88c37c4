// Signal end to end: the tests' own JACK client plays into the engine's inputs and
// records its outputs.
#include "AudioSession.h"

#include <gtest/gtest.h>

#include <thread>

using namespace corvena::test;
using namespace std::chrono_literals;

namespace {

constexpr double rate = 48000.0;
// 4800 frames hold whole periods of 220 Hz (22) and 440 Hz (44).
constexpr size_t window = 4800;

// Share of the energy that is not a sine at `frequency`: 0 for a clean sine,
// clearly above 0 once a waveshaper added harmonics.
double harmonicShare(const std::vector<float>& v, double frequency) {
    double s = 0, c = 0, total = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        const double w = 2.0 * M_PI * frequency * static_cast<double>(i) / rate;
        s += v[i] * std::sin(w);
        c += v[i] * std::cos(w);
        total += static_cast<double>(v[i]) * v[i];
    }
    const double fundamental = 2.0 * (s * s + c * c) / static_cast<double>(v.size());
    return total > 0 ? std::max(0.0, 1.0 - fundamental / total) : 0.0;
}

class Signal : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(engine.ready());
        json r = engine.request({{"cmd", "open"}});
        ASSERT_TRUE(r["ok"].get<bool>()) << r.dump();
        ASSERT_TRUE(peer.ok()) << peer.error();
        ASSERT_TRUE(peer.connectToEngine());
        peer.setSine(0, 220.0f, 0.5f);
        peer.setSine(1, 1000.0f, 0.25f);
    }
    // The outputs a little after a change took effect.
    std::vector<std::vector<float>> output() {
        std::this_thread::sleep_for(60ms);
        auto got = peer.captureSteady(window);
        EXPECT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].size(), window);
        return got;
    }
    AudioSession engine;
    JackPeer peer{JackEnvironment::server().name(), "SignalPeer"};
};

} // namespace

TEST_F(Signal, InputMetersFollowEachChannelAndTheSelection) {
    json level = engine.levelAfter(200ms);
    EXPECT_NEAR(level["in"].get<double>(), 0.5, 0.01);
    EXPECT_NEAR(level["inputs"][0].get<double>(), 0.5, 0.01);
    EXPECT_NEAR(level["inputs"][1].get<double>(), 0.25, 0.01);

    EXPECT_EQ(engine.request({{"cmd", "inputChannel"}, {"channel", 1}})["inputChannel"], 1);
    EXPECT_NEAR(engine.levelAfter(120ms)["in"].get<double>(), 0.25, 0.01);

    peer.setSilence(0);
    peer.setSilence(1);
    level = engine.levelAfter(120ms);
    EXPECT_EQ(level["inputs"], json::array({0.0, 0.0}));
    EXPECT_LT(level["out"].get<double>(), 1e-6) << "the amplifier's filters ring down towards zero";
}

TEST_F(Signal, OutputsFollowAmpMonitorAndTone) {
    engine.request({{"cmd", "amp"}, {"enabled", false}});
    engine.request({{"cmd", "monitor"}, {"enabled", true}, {"level", 1.0}});
    auto out = output();
    // Below the limiter's ceiling the DI comes out unchanged, on both channels.
    EXPECT_NEAR(peakOf(out[0]), 0.5f, 0.002f);
    EXPECT_EQ(out[0], out[1]);
    EXPECT_NEAR(frequencyOf(out[0]), 220.0, 1.0);
    EXPECT_LT(harmonicShare(out[0], 220.0), 0.001);

    engine.request({{"cmd", "monitor"}, {"enabled", true}, {"level", 0.5}});
    out = output();
    EXPECT_NEAR(peakOf(out[0]), 0.25f, 0.002f);
    EXPECT_NEAR(peakOf(out[1]), 0.25f, 0.002f);
    EXPECT_NEAR(engine.levelAfter(120ms)["out"].get<double>(), 0.25, 0.003) << "the output meter follows what was sent";

    engine.request({{"cmd", "amp"}, {"enabled", true}, {"model", "drive"}, {"gain", 0.8}});
    out = output();
    EXPECT_GT(peakOf(out[0]), 0.01f);
    EXPECT_LE(peakOf(out[0]), 1.0f);
    EXPECT_EQ(out[0], out[1]);
    EXPECT_GT(harmonicShare(out[0], 220.0), 0.01);

    engine.request({{"cmd", "monitor"}, {"enabled", false}});
    out = output();
    EXPECT_EQ(peakOf(out[0]), 0.0f);
    EXPECT_EQ(peakOf(out[1]), 0.0f);

    // The test tone sounds whatever the monitor.
    engine.request({{"cmd", "tone"}, {"enabled", true}});
    out = output();
    EXPECT_NEAR(peakOf(out[0]), 0.15f, 0.001f);
    EXPECT_EQ(out[0], out[1]);
    EXPECT_NEAR(frequencyOf(out[0]), 440.0, 1.0);
    EXPECT_LT(harmonicShare(out[0], 440.0), 0.001);
    engine.request({{"cmd", "tone"}, {"enabled", false}});
    EXPECT_EQ(peakOf(output()[0]), 0.0f);
}
