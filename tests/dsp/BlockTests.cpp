// The DSP blocks on their own: gate timing, limiter ceiling, the oversampler's
// delay, block independence and aliasing, the metronome's beat grid.
#include "dsp/Amp.h"
#include "dsp/Generators.h"
#include "dsp/NoiseGate.h"
#include "dsp/OutputLimiter.h"
#include "dsp/Oversampler.h"
#include "support/Measures.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <complex>
#include <cstdio>
#include <limits>

namespace corvena {
namespace {
using test::sine;

// Opens within 1 ms; after the note the envelope falls to the threshold (23 ms
// from 0.1 at the strictest setting), holds 40 ms, then closes with 80 ms.
TEST(NoiseGate, OpensHoldsAndClosesOnTimeAtEveryRate) {
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        NoiseGate gate;
        gate.prepare(rate);
        gate.threshold = NoiseGate::thresholdFor(1.5f); // clamped: -30 dB, which the closing time shows
        const int ms = static_cast<int>(rate / 1000);
        for (int i = 0; i < ms; ++i) gate.processSample(0.1f);
        EXPECT_NEAR(gate.gain, 1.0 - std::exp(-1.0), 0.01) << rate;
        for (int i = 0; i < 20 * ms; ++i) gate.processSample(0.1f);
        float held = gate.gain;
        int closesAt = 0;
        for (; gate.processSample(0.0f), gate.gain >= held; ++closesAt) held = gate.gain;
        EXPECT_NEAR(closesAt / rate, 0.02 * std::log(0.1 / 0.031623) + 0.04, 1e-4) << rate;
        for (int i = 1; i < 80 * ms; ++i) gate.processSample(0.0f);
        EXPECT_NEAR(gate.gain / held, std::exp(-1.0), 0.01) << rate;
    }
    NoiseGate gate; // exactly at the threshold counts as below it
    gate.prepare(48000.0);
    gate.threshold = 0.01f;
    for (int i = 0; i < 100; ++i) ASSERT_EQ(gate.processSample(0.01f), 0.0f);
}

TEST(OutputLimiter, SettlesAtTheCeilingClampsSpikesAndContainsNonFiniteSamples) {
    OutputLimiter limiter, untouched;
    for (float level : {2.0f, -2.0f}) {
        limiter.prepare(48000.0);
        std::vector<float> y(24000, level);
        limiter.process(y.data(), 24000);
        EXPECT_NEAR(y.back(), level / 2 * 0.95f, 1e-6);
    }
    limiter.prepare(48000.0);
    untouched.prepare(48000.0);
    float spike[2] = {0.0f, 5.0f}, same[2] = {0.0f, 5.0f};
    limiter.process(spike, 2);
    untouched.process(same, 2);
    EXPECT_EQ(spike[1], 1.0f);
    // Infinity or NaN drove the envelope to infinity or NaN, silencing the output until the next open.
    const float inf = std::numeric_limits<float>::infinity();
    float bad[3] = {inf, -inf, std::numeric_limits<float>::quiet_NaN()};
    limiter.process(bad, 3);
    EXPECT_EQ(std::vector<float>(bad, bad + 3), (std::vector<float>{1.0f, -1.0f, 0.0f}));
    std::vector<float> a = sine(4800, 196.0, 1.5f), b = a;
    limiter.process(a.data(), 4800);
    untouched.process(b.data(), 4800);
    EXPECT_EQ(a, b) << "as if the bad samples never came";
    float huge[2] = {FLT_MAX, FLT_MAX};
    limiter.process(huge, 2);
    limiter.process(a.data(), 4800);
    EXPECT_TRUE(test::allFinite(a.data(), 4800));
}

TEST(Oversampler, ThePairDelaysByFifteenSamplesAndAnyBlockSplitMatchesThePlainFilter) {
    Oversampler o;
    o.prepare(64);
    std::vector<float> impulse(64, 0.0f), up(4 * 451), down(451);
    impulse[0] = 1.0f;
    o.upsample(impulse.data(), up.data(), 64);
    o.downsample(up.data(), down.data(), 64);
    EXPECT_EQ(std::max_element(down.begin(), down.begin() + 64) - down.begin(), 15);
    EXPECT_NEAR(down[15], 0.8548, 1e-4);
    EXPECT_NEAR(down[14], down[16], 1e-6);

    // The fast path sums several outputs at once; each must equal the plain
    // filter (sums in tap order) for any split, even beyond the prepared block.
    o.prepare(64);
    const std::vector<float> x = sine(451, 7919.0, 0.9f), u = sine(4 * 451, 31337.0, 0.8f);
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

// Frames where a click starts, and its pitch, rendering one frame per call.
std::vector<std::pair<int64_t, double>> clickStarts(float bpm, int64_t frames) {
    double toNext = 0, phase = 0, frequency = 0;
    int32_t beat = 0, left = 0;
    std::vector<std::pair<int64_t, double>> starts;
    float out[2] = {};
    for (int64_t i = 0; i < frames; ++i) {
        renderMetronome(out, 1, 48000.0, bpm, i == 0, {toNext, beat, left, phase, frequency});
        if (left == 1343) starts.emplace_back(i, frequency);
    }
    return starts;
}

TEST(Metronome, BeatsFallOnExactFramesWithoutDriftAndClicksDoNotDependOnBlocks) {
    using Starts = std::vector<std::pair<int64_t, double>>;
    EXPECT_EQ(clickStarts(120.0f, 96001), (Starts{{0, 1600}, {24000, 1000}, {48000, 1000}, {72000, 1000}, {96000, 1600}}));
    EXPECT_EQ(clickStarts(110.0f, 183274), (Starts{{0, 1600}, {26182, 1000}, {52364, 1000}, {78546, 1000}, {104728, 1600},
                                                  {130910, 1000}, {157091, 1000}, {183273, 1000}}));
    EXPECT_EQ(clickStarts(5.0f, 144001).back().first, 144000) << "the 20 bpm floor: every 3 s";

    double toNext[2] = {}, phase[2] = {}, frequency[2] = {};
    int32_t beat[2] = {}, left[2] = {};
    std::vector<float> one(6000, 0.0f), split(6000, 0.0f), loud(200, 0.9f);
    renderMetronome(one.data(), 3000, 44100.0, 60.0f, true, {toNext[0], beat[0], left[0], phase[0], frequency[0]});
    for (int at = 0, k = 0, lengths[] = {1, 128, 999, 1872}; k < 4; at += lengths[k++])
        renderMetronome(split.data() + 2 * at, lengths[k], 44100.0, 60.0f, at == 0, {toNext[1], beat[1], left[1], phase[1], frequency[1]});
    EXPECT_EQ(one, split); // (a click starts on a zero: the callback test's first click frame)
    int last = 0;
    for (int i = 0; i < 3000; ++i) last = one[2 * i] != 0.0f ? i : last;
    EXPECT_EQ(last, 1233) << "44100 x 0.028 = 1234.8 truncates to 1234 frames";
    renderMetronome(loud.data(), 100, 48000.0, 120.0f, true, {toNext[0], beat[0], left[0], phase[0], frequency[0]});
    EXPECT_EQ(*std::max_element(loud.begin(), loud.end()), 1.0f) << "sums clamp";
}

Amp prepared(const AmpSettings& s = {}, int32_t block = 128) {
    Amp amp(s);
    amp.prepare(48000.0, block);
    amp.applySettings(s);
    return amp;
}

std::vector<float> run(Amp& amp, std::vector<float> x, int32_t block = 128) {
    for (size_t at = 0; at < x.size(); at += block)
        amp.process(x.data() + at, x.data() + at, static_cast<int32_t>(std::min<size_t>(block, x.size() - at)));
    return x;
}

// Exact silence stays exact silence; any block split, in place or not, gives
// the same samples; settings sent again keep every filter's and the gate's state.
TEST(Amp, SilenceBlockSplitsAndSettingsKeepTheState) {
    for (AmpModel model : {AmpModel::Clean, AmpModel::Drive})
        for (float gate : {0.0f, 0.5f}) {
            Amp amp = prepared({model, 1.0f, 0.5f, 0.5f, 0.5f, 1.0f, gate});
            for (float y : run(amp, std::vector<float>(2048, 0.0f))) ASSERT_EQ(y, 0.0f);
        }
    const std::vector<float> x = sine(2048, 330.0, 0.4f);
    Amp a = prepared(), b = prepared(); // Drive at its defaults
    const std::vector<float> whole = run(b, x);
    std::vector<float> split(2048);
    for (int32_t at = 0, len = 1; at < 2048; at += len, len = std::min(1 + at % 97, 2048 - at)) {
        a.applySettings(AmpSettings{}); // the same again, as the callback hands on every change
        a.process(x.data() + at, split.data() + at, len);
    }
    EXPECT_EQ(split, whole);
}

// Whatever tanh width the CPU gets: the curves within float rounding, also far
// out, and no dependence on a sample's place in the block.
TEST(Amp, WaveshaperCurvesAndBlockIndependence) {
    const Waveshaper shaper;
    std::vector<float> x = {1e30f, -1e30f};
    for (float v = -12.0f; v <= 12.0f; v += 0.0137f) x.push_back(v);
    for (bool drive : {false, true}) {
        std::vector<float> y = x;
        shaper.process(drive, y.data(), static_cast<int32_t>(y.size()));
        for (size_t i = 0; i < x.size(); ++i) {
            const double t = std::tanh(static_cast<double>(x[i]));
            ASSERT_NEAR(y[i], drive ? std::tanh(1.5 * t + 0.05) - std::tanh(0.05) : t, 4e-7) << x[i];
            float alone = x[i];
            shaper.process(drive, &alone, 1);
            ASSERT_EQ(alone, y[i]) << x[i];
        }
    }
}

// A loud 5 kHz note repeats every 48 samples: harmonics lie on 5, 10, 15, 20 kHz,
// aliases on the other multiples of 1 kHz. Measured: -50.8 dB; -12.9 dB when
// the amp shapes at the base rate.
TEST(Amp, OversampledDriveKeepsAliasesFarBelowTheFundamental) {
    Amp amp = prepared({AmpModel::Drive, 0.6f, 0.5f, 0.5f, 0.5f, 1.0f, 0.0f}, 256);
    const std::vector<float> in = sine(72000, 5000.0, 0.5f);
    std::vector<float> out(in.size());
    for (size_t at = 0; at < in.size(); at += 250) amp.process(in.data() + at, out.data() + at, 250);
    double fundamental = 0.0, alias = 0.0;
    for (int k = 1; k <= 20; ++k) {
        std::complex<double> acc = 0.0;
        for (size_t i = 24000; i < out.size(); ++i) acc += static_cast<double>(out[i]) * std::polar(1.0, -2 * M_PI * k * i / 48.0);
        if (k == 5) fundamental = std::abs(acc);
        else if (k % 5 != 0) alias = std::max(alias, std::abs(acc));
    }
    const double worst = 20 * std::log10(alias / fundamental);
    std::printf("amp: worst alias %.1f dB re fundamental\n", worst);
    EXPECT_LT(worst, -45.0);
}

} // namespace
} // namespace corvena
