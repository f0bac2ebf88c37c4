// Noise gate, output limiter and the four-times resampler.
#include "DspTestKit.h"
#include "dsp/NoiseGate.h"
#include "dsp/OutputLimiter.h"
#include "dsp/Oversampler.h"

#include <gtest/gtest.h>

#include <limits>

namespace corvena {
namespace {
constexpr double fs = 48000.0;

TEST(NoiseGate, ThresholdsHoldAndOpenHoldCloseTiming) {
    NoiseGate gate;
    for (auto [rate, hold] : {std::pair{48000.0, 1920}, {44100.0, 1764}, {96000.0, 3840}}) {
        gate.prepare(rate);
        EXPECT_EQ(gate.holdSamples, hold);
    }
    EXPECT_NEAR(NoiseGate::thresholdFor(0.0f), 1e-4, 1e-10);
    EXPECT_NEAR(NoiseGate::thresholdFor(0.5f), 0.0017783, 1e-7);
    EXPECT_NEAR(NoiseGate::thresholdFor(1.0f), 0.031623, 1e-6);
    EXPECT_EQ(NoiseGate::thresholdFor(1.5f), NoiseGate::thresholdFor(1.0f));

    // Opens fast, holds, then closes slowly.
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
    const float opened = gate.gain;
    for (int j = 0; j < closesAt; ++j) ASSERT_EQ(gate.processSample(0.0f), 0.0f);
    EXPECT_GE(gate.gain, opened);
    const float held = gate.gain;
    gate.processSample(0.0f);
    EXPECT_EQ(gate.gain, gate.closeCoefficient * held);
    for (int j = 1; j < 3840; ++j) gate.processSample(0.0f); // one 80 ms time constant
    EXPECT_NEAR(gate.gain, std::exp(-1.0), 0.01);

    gate.prepare(fs); // exactly at the threshold counts as below it
    gate.threshold = 0.01f;
    for (int i = 0; i < 100; ++i) ASSERT_EQ(gate.processSample(0.01f), 0.0f);
}

TEST(OutputLimiter, SettlesAtCeilingClampsSpikesAndIgnoresNonFinite) {
    OutputLimiter limiter;
    limiter.prepare(fs);
    EXPECT_NEAR(limiter.attackCoefficient(), 0.959189, 1e-6);
    EXPECT_NEAR(limiter.releaseCoefficient(), 0.999583, 1e-6);
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
    const float envelope = limiter.envelope();
    EXPECT_NEAR(envelope, 0.204, 1e-3);

    // Mended fault: infinity or NaN used to drive the envelope to infinity or
    // NaN, silencing the output until the next stream open.
    const float inf = std::numeric_limits<float>::infinity(), big = std::numeric_limits<float>::max();
    float bad[3] = {inf, -inf, std::numeric_limits<float>::quiet_NaN()};
    limiter.process(bad, 3);
    EXPECT_EQ(std::vector<float>(bad, bad + 3), (std::vector<float>{1.0f, -1.0f, 0.0f}));
    EXPECT_EQ(limiter.envelope(), envelope);
    float huge[2] = {big, big};
    limiter.process(huge, 2);
    EXPECT_TRUE(std::isfinite(limiter.envelope()));
}

TEST(Oversampler, TapsAreASymmetricUnityGainLowPass) {
    Oversampler o;
    o.prepare(64);
    double sum = 0.0;
    for (int n = 0; n < 64; ++n) {
        EXPECT_NEAR(o.taps[n], o.taps[63 - n], 1e-7) << n;
        sum += o.taps[n];
    }
    EXPECT_NEAR(sum, 1.0, 1e-6);
    EXPECT_NEAR(o.taps[31], 0.224815, 1e-6);
    EXPECT_EQ(o.taps[31], o.taps[32]);
}

TEST(Oversampler, PairDelaysAnImpulseByFifteenSamples) {
    Oversampler o;
    o.prepare(64);
    std::vector<float> in(64, 0.0f), up(256), down(64);
    in[0] = 1.0f;
    o.upsample(in.data(), up.data(), 64);
    for (int j = 0; j < 80; ++j) ASSERT_EQ(up[j], j < 64 ? 4.0f * o.taps[j] : 0.0f) << j;
    o.downsample(up.data(), down.data(), 64);
    EXPECT_NEAR(down[15], 0.8548, 1e-4);
    for (int m : {14, 16}) EXPECT_NEAR(down[m], 0.1343, 1e-4);
    for (int m : {13, 17}) EXPECT_NEAR(down[m], -0.1055, 1e-4);
}

// The fast path sums several outputs at once; each must still equal the plain
// formula (sums in tap order) for any block split, even beyond the prepared block.
TEST(Oversampler, AnyBlockSplitMatchesThePlainFormulaExactly) {
    Oversampler o;
    o.prepare(64);
    const std::vector<float> x = test::sine(451, 7919.0, 0.9f), u = test::sine(4 * 451, 31337.0, 0.8f);
    std::vector<float> up(4 * 451), down(451);
    int32_t at = 0;
    for (int32_t len : {1, 7, 64, 13, 300, 2, 45, 16, 3}) {
        o.upsample(x.data() + at, up.data() + 4 * at, len);
        o.downsample(u.data() + 4 * at, down.data() + at, len);
        at += len;
    }
    for (int64_t j = 0; j < 4 * 451; ++j) {
        float sum = 0.0f;
        for (int64_t k = 0; k < 16; ++k) sum += o.taps[4 * k + j % 4] * (j / 4 >= k ? x[j / 4 - k] : 0.0f);
        ASSERT_EQ(up[j], 4.0f * sum) << j;
    }
    for (int64_t m = 0; m < 451; ++m) {
        float sum = 0.0f;
        for (int64_t t = 0; t < 64; ++t) sum += o.taps[t] * (4 * m + 3 >= t ? u[4 * m + 3 - t] : 0.0f);
        ASSERT_EQ(down[m], sum) << m;
    }
}

} // namespace
} // namespace corvena
