// Biquad sections, noise gate and output limiter.
#include "DspTestUtil.h"
#include "dsp/Amp.h"
#include "dsp/Biquad.h"
#include "dsp/NoiseGate.h"
#include "dsp/OutputLimiter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace corvena {
namespace {
using test::magnitudeAt;

constexpr double fs = 48000.0;

TEST(Biquad, DefaultSectionPassesSignalUnchanged) {
    Biquad section;
    const float in[] = {0.25f, -1.0f, 3.5f, 1e-30f, 0.0f};
    for (float x : in) EXPECT_EQ(section.processSample(x), x);
}

TEST(Biquad, InputHighPassBlocksDcAndPassesNyquist) {
    Biquad s;
    s.designHighPass(fs, 25.0, 0.707);
    EXPECT_NEAR(magnitudeAt(s, fs, 0.0), 0.0, 1e-12);
    EXPECT_NEAR(magnitudeAt(s, fs, fs / 2), 1.0, 1e-9);
    EXPECT_NEAR(magnitudeAt(s, fs, 25.0), 0.707, 1e-3); // -3 dB at the corner for Q 0.707
}

TEST(Biquad, ShelvesAndPeakReachTheirGains) {
    const double plus12 = std::pow(10.0, 12.0 / 20.0); // A squared, about 3.98
    Biquad bass;
    bass.designLowShelf(fs, 120.0, 12.0);
    EXPECT_NEAR(magnitudeAt(bass, fs, 0.0), plus12, 1e-9);
    EXPECT_NEAR(magnitudeAt(bass, fs, fs / 2), 1.0, 1e-3);

    Biquad treble;
    treble.designHighShelf(fs, 3000.0, -12.0);
    EXPECT_NEAR(magnitudeAt(treble, fs, 0.0), 1.0, 1e-9);
    EXPECT_NEAR(magnitudeAt(treble, fs, fs / 2), 1.0 / plus12, 2e-3);

    Biquad mid;
    mid.designPeaking(fs, 700.0, 0.8, 12.0);
    EXPECT_NEAR(magnitudeAt(mid, fs, 700.0), plus12, 1e-9);
    EXPECT_NEAR(magnitudeAt(mid, fs, 0.0), 1.0, 1e-9);
    EXPECT_NEAR(magnitudeAt(mid, fs, fs / 2), 1.0, 1e-9);

    Biquad low;
    low.designLowPass(fs, 4200.0, 0.5412);
    EXPECT_NEAR(magnitudeAt(low, fs, 0.0), 1.0, 1e-12);
    EXPECT_NEAR(magnitudeAt(low, fs, fs / 2), 0.0, 1e-12);
}

TEST(Biquad, ZeroDecibelDesignsAreExactlyFlat) {
    Biquad sections[3];
    sections[0].designLowShelf(fs, 120.0, 0.0);
    sections[1].designPeaking(fs, 700.0, 0.8, 0.0);
    sections[2].designHighShelf(fs, 3000.0, 0.0);
    for (const Biquad& s : sections) {
        EXPECT_EQ(s.b0, 1.0);
        EXPECT_EQ(s.b1, s.a1);
        EXPECT_EQ(s.b2, s.a2);
    }
}

TEST(Biquad, RedesignKeepsStateAndChainEqualsSectionsInTurn) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> signal(300);
    for (float& x : signal) x = dist(rng);

    Amp amp;
    amp.prepare(fs, 512);
    Biquad chain[8], single[8];
    for (int i = 0; i < 8; ++i) chain[i] = single[i] = amp.section(2 + i);

    // Blocks shorter than the chain, a single sample, and a long one.
    std::vector<float> a = signal, b = signal;
    int32_t at = 0;
    for (int32_t len : {3, 1, 7, 8, 281}) {
        processBiquadChain(chain, 8, a.data() + at, len);
        at += len;
    }
    ASSERT_EQ(at, 300);
    for (Biquad& s : single) s.process(b.data(), b.data(), 300);
    for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]) << "sample " << i;
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(chain[i].z1, single[i].z1);
        EXPECT_EQ(chain[i].z2, single[i].z2);
    }

    const double z1 = chain[0].z1, z2 = chain[0].z2;
    chain[0].designLowShelf(fs, 120.0, 6.0);
    EXPECT_EQ(chain[0].z1, z1);
    EXPECT_EQ(chain[0].z2, z2);
}

TEST(NoiseGate, TimeConstantsAndHoldFollowTheRate) {
    NoiseGate gate;
    gate.prepare(48000.0);
    EXPECT_EQ(gate.holdSamples, 1920);
    EXPECT_EQ(gate.openCoefficient, static_cast<float>(std::exp(-1.0 / 48.0)));
    EXPECT_EQ(gate.closeCoefficient, static_cast<float>(std::exp(-1.0 / 3840.0)));
    EXPECT_EQ(gate.envelopeDecay, static_cast<float>(std::exp(-1.0 / 960.0)));
    gate.prepare(44100.0);
    EXPECT_EQ(gate.holdSamples, 1764);
    gate.prepare(96000.0);
    EXPECT_EQ(gate.holdSamples, 3840);
    EXPECT_EQ(gate.gain, 0.0f);
    EXPECT_EQ(gate.envelope, 0.0f);
}

TEST(NoiseGate, ThresholdRunsFromMinus80ToMinus30Decibels) {
    EXPECT_NEAR(NoiseGate::thresholdFor(0.0f), 1e-4, 1e-10);
    EXPECT_NEAR(NoiseGate::thresholdFor(0.5f), 0.0017783, 1e-7);
    EXPECT_NEAR(NoiseGate::thresholdFor(1.0f), 0.031623, 1e-6);
    EXPECT_EQ(NoiseGate::thresholdFor(1.5f), NoiseGate::thresholdFor(1.0f));
    EXPECT_EQ(NoiseGate::thresholdFor(-2.0f), NoiseGate::thresholdFor(0.0f));
}

TEST(NoiseGate, OpensFastHoldsThenClosesSlowly) {
    NoiseGate gate;
    gate.prepare(fs);
    gate.threshold = NoiseGate::thresholdFor(1.0f);

    // A steady 0.1 opens with the 1 ms constant: 63 % after 48 samples, fully after 10 ms.
    for (int i = 0; i < 48; ++i) gate.processSample(0.1f);
    EXPECT_NEAR(gate.gain, 1.0 - std::exp(-1.0), 0.01);
    for (int i = 0; i < 480; ++i) gate.processSample(0.1f);
    EXPECT_GT(gate.gain, 0.9999f);

    // Silence: the envelope decays to the threshold (about 23 ms), then 40 ms of hold.
    float envelope = 0.1f;
    int lastAbove = -1;
    for (int j = 0; (envelope = gate.envelopeDecay * envelope) > gate.threshold; ++j) lastAbove = j;
    const int closesAt = lastAbove + gate.holdSamples + 1;
    EXPECT_NEAR(closesAt, 0.023 * fs + 1920, 10);

    float previous = gate.gain;
    for (int j = 0; j < closesAt; ++j) {
        EXPECT_EQ(gate.processSample(0.0f), 0.0f);
        ASSERT_GE(gate.gain, previous) << "closed early at " << j;
        previous = gate.gain;
    }
    gate.processSample(0.0f);
    EXPECT_LT(gate.gain, previous);
    EXPECT_NEAR(gate.gain, previous * gate.closeCoefficient, 1e-7);
    for (int j = 0; j < 3840 - 1; ++j) gate.processSample(0.0f); // one 80 ms time constant
    EXPECT_NEAR(gate.gain, std::exp(-1.0), 0.01);
}

TEST(NoiseGate, InputExactlyAtThresholdNeverOpens) {
    NoiseGate gate;
    gate.prepare(fs);
    gate.threshold = 0.01f;
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(gate.processSample(0.01f), 0.0f);
}

TEST(OutputLimiter, CoefficientsAndQuietSignalsPassUnchanged) {
    OutputLimiter limiter;
    limiter.prepare(fs);
    EXPECT_NEAR(limiter.attackCoefficient(), 0.959189, 1e-6);
    EXPECT_NEAR(limiter.releaseCoefficient(), 0.999583, 1e-6);
    std::vector<float> x = test::sine(4800, 440.0, fs, 0.5f);
    const std::vector<float> original = x;
    limiter.process(x.data(), static_cast<int32_t>(x.size()));
    EXPECT_EQ(x, original);
}

TEST(OutputLimiter, SettlesAtTheCeilingSymmetrically) {
    for (float level : {2.0f, -2.0f}) {
        OutputLimiter limiter;
        limiter.prepare(fs);
        std::vector<float> x(24000, level);
        limiter.process(x.data(), 24000);
        EXPECT_NEAR(limiter.envelope(), 2.0f, 1e-5);
        EXPECT_NEAR(x.back(), level > 0 ? 0.95f : -0.95f, 1e-6);
        for (float y : x) ASSERT_LE(std::fabs(y), 1.0f);
    }
}

TEST(OutputLimiter, SingleSpikeIsCaughtByTheClamp) {
    OutputLimiter limiter;
    limiter.prepare(fs);
    float x[4] = {0.0f, 5.0f, 0.0f, 0.0f};
    limiter.process(x, 4);
    EXPECT_EQ(x[1], 1.0f);
    EXPECT_NEAR(limiter.envelope(), 0.204 * std::pow(0.999583, 2), 1e-3);
}

// Mended fault: an infinite or NaN sample used to drive the envelope to
// infinity (or NaN), silencing the output until the next stream open.
TEST(OutputLimiter, NonFiniteSamplesNeitherPassNorPoisonTheEnvelope) {
    OutputLimiter limiter, reference;
    limiter.prepare(fs);
    reference.prepare(fs);
    std::vector<float> quiet = test::sine(480, 440.0, fs, 0.5f);
    std::vector<float> expected = quiet;
    limiter.process(quiet.data(), 480);
    reference.process(expected.data(), 480);

    const float inf = std::numeric_limits<float>::infinity();
    float bad[3] = {inf, -inf, std::numeric_limits<float>::quiet_NaN()};
    limiter.process(bad, 3);
    EXPECT_EQ(bad[0], 1.0f);
    EXPECT_EQ(bad[1], -1.0f);
    EXPECT_EQ(bad[2], 0.0f);
    EXPECT_EQ(limiter.envelope(), reference.envelope());

    float huge[2] = {std::numeric_limits<float>::max(), -std::numeric_limits<float>::max()};
    limiter.process(huge, 2);
    EXPECT_TRUE(std::isfinite(limiter.envelope()));
    EXPECT_TRUE(test::allFinite(huge, 2));
}

} // namespace
} // namespace corvena
