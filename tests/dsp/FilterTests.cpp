// Biquad sections, noise gate, output limiter.
#include "DspTestKit.h"
#include "dsp/Amp.h"
#include "dsp/NoiseGate.h"
#include "dsp/OutputLimiter.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

namespace corvena {
namespace {
using test::magnitudeAt;
constexpr double fs = 48000.0;
const double plus12 = std::pow(10.0, 12.0 / 20.0);

TEST(Biquad, DesignsReachTheirGainsAndZeroDecibelsIsExactlyFlat) {
    Biquad hp, bass, treble, mid, flat[3];
    hp.designHighPass(fs, 25.0, 0.707);
    EXPECT_NEAR(magnitudeAt(hp, fs, 0.0), 0.0, 1e-12);
    EXPECT_NEAR(magnitudeAt(hp, fs, fs / 2), 1.0, 1e-9);
    bass.designLowShelf(fs, 120.0, 12.0);
    EXPECT_NEAR(magnitudeAt(bass, fs, 0.0), plus12, 1e-9);
    treble.designHighShelf(fs, 3000.0, -12.0);
    EXPECT_NEAR(magnitudeAt(treble, fs, fs / 2), 1.0 / plus12, 2e-3);
    EXPECT_NEAR(magnitudeAt(treble, fs, 0.0), 1.0, 1e-9);
    mid.designPeaking(fs, 700.0, 0.8, 12.0);
    EXPECT_NEAR(magnitudeAt(mid, fs, 700.0), plus12, 1e-9);
    flat[0].designLowShelf(fs, 120.0, 0.0);
    flat[1].designPeaking(fs, 700.0, 0.8, 0.0);
    flat[2].designHighShelf(fs, 3000.0, 0.0);
    for (const Biquad& s : flat) {
        EXPECT_EQ(s.b0, 1.0);
        EXPECT_EQ(s.b1, s.a1);
        EXPECT_EQ(s.b2, s.a2);
    }
}

// The amp runs its post-shaper sections interleaved; that must equal running
// them one after another, for blocks shorter and longer than the chain.
TEST(Biquad, ChainEqualsSectionsInTurnAndRedesignKeepsState) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> a(300), b;
    for (float& x : a) x = dist(rng);
    b = a;
    Amp amp;
    amp.prepare(fs, 512);
    Biquad chain[8], single[8];
    for (int i = 0; i < 8; ++i) chain[i] = single[i] = amp.section(2 + i);
    int32_t at = 0;
    for (int32_t len : {3, 1, 7, 8, 281}) processBiquadChain(chain, 8, a.data() + (at += len) - len, len);
    for (Biquad& s : single) s.process(b.data(), b.data(), 300);
    EXPECT_EQ(a, b);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(chain[i].z1, single[i].z1);

    const double z1 = chain[0].z1;
    chain[0].designLowShelf(fs, 120.0, 6.0);
    EXPECT_EQ(chain[0].z1, z1);
}

TEST(NoiseGate, ConstantsThresholdsAndHold) {
    NoiseGate gate;
    for (auto [rate, hold] : {std::pair{48000.0, 1920}, {44100.0, 1764}, {96000.0, 3840}}) {
        gate.prepare(rate);
        EXPECT_EQ(gate.holdSamples, hold);
    }
    EXPECT_EQ(gate.openCoefficient, static_cast<float>(std::exp(-1.0 / 96.0)));
    EXPECT_NEAR(NoiseGate::thresholdFor(0.0f), 1e-4, 1e-10);
    EXPECT_NEAR(NoiseGate::thresholdFor(0.5f), 0.0017783, 1e-7);
    EXPECT_NEAR(NoiseGate::thresholdFor(1.0f), 0.031623, 1e-6);
    EXPECT_EQ(NoiseGate::thresholdFor(1.5f), NoiseGate::thresholdFor(1.0f));
}

TEST(NoiseGate, OpensFastHoldsThenClosesSlowly) {
    NoiseGate gate;
    gate.prepare(fs);
    gate.threshold = NoiseGate::thresholdFor(1.0f);
    for (int i = 0; i < 48; ++i) gate.processSample(0.1f); // one 1 ms time constant
    EXPECT_NEAR(gate.gain, 1.0 - std::exp(-1.0), 0.01);
    for (int i = 0; i < 480; ++i) gate.processSample(0.1f);

    // Silence: the envelope decays to the threshold (about 23 ms), then 40 ms of hold.
    float envelope = 0.1f;
    int closesAt = gate.holdSamples;
    while ((envelope *= gate.envelopeDecay) > gate.threshold) ++closesAt;
    EXPECT_NEAR(closesAt, 0.023 * fs + 1920, 10);
    float held = gate.gain;
    for (int j = 0; j < closesAt; ++j) ASSERT_EQ(gate.processSample(0.0f), 0.0f);
    EXPECT_GE(gate.gain, held);
    held = gate.gain;
    gate.processSample(0.0f);
    EXPECT_EQ(gate.gain, gate.closeCoefficient * held);
    for (int j = 1; j < 3840; ++j) gate.processSample(0.0f); // one 80 ms time constant
    EXPECT_NEAR(gate.gain, std::exp(-1.0), 0.01);

    // Exactly at the threshold counts as below it.
    gate.prepare(fs);
    gate.threshold = 0.01f;
    for (int i = 0; i < 100; ++i) ASSERT_EQ(gate.processSample(0.01f), 0.0f);
}

TEST(OutputLimiter, PassesQuietSettlesAtCeilingClampsSpikes) {
    OutputLimiter limiter;
    limiter.prepare(fs);
    EXPECT_NEAR(limiter.attackCoefficient(), 0.959189, 1e-6);
    EXPECT_NEAR(limiter.releaseCoefficient(), 0.999583, 1e-6);
    std::vector<float> x = test::sine(4800, 440.0, 0.5f);
    const std::vector<float> quiet = x;
    limiter.process(x.data(), 4800);
    EXPECT_EQ(x, quiet);

    for (float level : {2.0f, -2.0f}) {
        limiter.prepare(fs);
        std::vector<float> y(24000, level);
        limiter.process(y.data(), 24000);
        EXPECT_NEAR(y.back(), level / 2 * 0.95f, 1e-6);
    }
    limiter.prepare(fs);
    float spike[2] = {0.0f, 5.0f};
    limiter.process(spike, 2);
    EXPECT_EQ(spike[1], 1.0f);
    EXPECT_NEAR(limiter.envelope(), 0.204, 1e-3);
}

// Mended fault: an infinite or NaN sample used to drive the envelope to
// infinity or NaN, silencing the output until the next stream open.
TEST(OutputLimiter, NonFiniteSamplesNeitherPassNorTouchTheEnvelope) {
    OutputLimiter limiter;
    limiter.prepare(fs);
    std::vector<float> x = test::sine(480, 440.0, 0.5f);
    limiter.process(x.data(), 480);
    const float envelope = limiter.envelope();
    const float inf = std::numeric_limits<float>::infinity();
    float bad[3] = {inf, -inf, std::numeric_limits<float>::quiet_NaN()};
    limiter.process(bad, 3);
    EXPECT_EQ(bad[0], 1.0f);
    EXPECT_EQ(bad[1], -1.0f);
    EXPECT_EQ(bad[2], 0.0f);
    EXPECT_EQ(limiter.envelope(), envelope);
    float huge[2] = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max()};
    limiter.process(huge, 2);
    EXPECT_TRUE(std::isfinite(limiter.envelope()));
}

} // namespace
} // namespace corvena
