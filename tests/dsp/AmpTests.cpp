// The amplifier models, its waveshaper, and how little of a hard-driven note folds back.
#include "DspTestKit.h"
#include "dsp/Amp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <limits>

namespace corvena {
namespace {
using test::magnitudeAt;
constexpr double fs = 48000.0;

AmpSettings make(AmpModel model, float gain = 0.6f, float level = 0.7f, float gate = 0.5f) {
    return {model, gain, 0.5f, 0.5f, 0.5f, level, gate};
}

Amp prepared(const AmpSettings& s, int32_t block = 128) {
    Amp amp(s);
    amp.prepare(fs, block);
    amp.applySettings(s);
    return amp;
}

std::vector<float> run(Amp& amp, const std::vector<float>& in, int32_t block = 128) {
    std::vector<float> out(in.size());
    for (size_t at = 0; at < in.size(); at += block)
        amp.process(in.data() + at, out.data() + at, static_cast<int32_t>(std::min<size_t>(block, in.size() - at)));
    return out;
}

TEST(Amp, PreAndOutputGainsFollowTheSettings) {
    EXPECT_EQ(prepared(make(AmpModel::Clean, 0.0f)).preGain(), 1.0f);
    EXPECT_EQ(prepared(make(AmpModel::Drive, 0.0f)).preGain(), 1.0f);
    EXPECT_NEAR(prepared(make(AmpModel::Clean, 1.0f)).preGain(), 5.0119, 1e-4);
    EXPECT_NEAR(prepared(make(AmpModel::Drive, 1.0f)).preGain(), 63.096, 1e-3);
    for (float gain : {3.0f, 21.4f}) // finite however large: exactly as computed
        EXPECT_EQ(prepared(make(AmpModel::Drive, gain)).preGain(), static_cast<float>(std::pow(10.0, gain * 1.8)));
    EXPECT_EQ(prepared(make(AmpModel::Drive, 30.0f)).preGain(), std::numeric_limits<float>::max());
    EXPECT_EQ(prepared(make(AmpModel::Drive, 0.6f, 1.0f)).outputGain(), 0.5f);
    EXPECT_EQ(prepared(make(AmpModel::Drive)).outputGain(), 0.7f * 0.7f * 0.5f);
    EXPECT_EQ(prepared(make(AmpModel::Drive, 0.6f, 0.0f)).outputGain(), 0.0f);
}

TEST(Amp, SectionsFollowModelAndToneControls) {
    const Amp clean = prepared(make(AmpModel::Clean)), drive = prepared(make(AmpModel::Drive));
    for (int i : {0, 2, 3, 4, 5}) EXPECT_EQ(clean.section(i).a1, drive.section(i).a1) << i;
    for (int i : {1, 6, 7, 8, 9}) EXPECT_NE(clean.section(i).a1, drive.section(i).a1) << i;
    for (const Biquad& t : {clean.section(2), clean.section(3), clean.section(4)}) // tone at 0.5: exactly flat
        EXPECT_TRUE(t.b0 == 1.0 && t.b1 == t.a1 && t.b2 == t.a2);
    EXPECT_NEAR(magnitudeAt(clean.section(0), fs, 0.0), 0.0, 1e-12);
    EXPECT_NEAR(magnitudeAt(clean.section(0), fs, fs / 2), 1.0, 1e-9);
    EXPECT_NEAR(magnitudeAt(drive.section(8), fs, 2600.0), std::pow(10.0, 0.2), 1e-9);
    EXPECT_NEAR(magnitudeAt(clean.section(9), fs, 850.0), std::pow(10.0, -0.1), 1e-9);
    EXPECT_NEAR(magnitudeAt(drive.section(6), fs, 4200) * magnitudeAt(drive.section(7), fs, 4200), M_SQRT1_2, 1e-3);

    AmpSettings s = make(static_cast<AmpModel>(7)); // unknown model: Clean
    s.bass = s.mid = 1.0f;
    s.treble = 0.0f;
    const Amp tone = prepared(s);
    const double plus12 = std::pow(10.0, 0.6);
    EXPECT_EQ(tone.section(1).a1, clean.section(1).a1);
    EXPECT_NEAR(magnitudeAt(tone.section(2), fs, 0.0), plus12, 1e-9);
    EXPECT_NEAR(magnitudeAt(tone.section(3), fs, 700.0), plus12, 1e-9);
    EXPECT_NEAR(magnitudeAt(tone.section(4), fs, fs / 2), 1.0 / plus12, 2e-3);
    EXPECT_NEAR(magnitudeAt(tone.section(4), fs, 0.0), 1.0, 1e-9);
}

// Exact silence in gives exact silence out; any block split, in place or not,
// gives the same samples (the sections after the shaper run interleaved).
TEST(Amp, SilenceBlockSplitsAndSettingChanges) {
    for (AmpModel model : {AmpModel::Clean, AmpModel::Drive})
        for (float gate : {0.0f, 0.5f}) {
            Amp amp = prepared(make(model, 1.0f, 1.0f, gate));
            for (float y : run(amp, std::vector<float>(2048, 0.0f))) ASSERT_EQ(y, 0.0f);
        }
    Amp a = prepared(make(AmpModel::Drive)), b = prepared(make(AmpModel::Drive));
    std::vector<float> x = test::sine(1024, 330.0, 0.4f);
    const std::vector<float> whole = run(b, x);
    for (int32_t at = 0, len = 1; at < 1024; at += len, len = std::min(1 + at % 97, 1024 - at))
        a.process(x.data() + at, x.data() + at, len);
    EXPECT_EQ(x, whole);

    // New settings keep the filter state; gate 0 freezes the gate where it stands.
    const double z1 = a.section(5).z1;
    const NoiseGate gate = a.gate();
    a.applySettings(make(AmpModel::Clean, 0.9f, 0.7f, 0.0f));
    EXPECT_EQ(a.section(5).z1, z1);
    run(a, x);
    EXPECT_EQ(a.gate().envelope, gate.envelope);
    EXPECT_EQ(a.gate().gain, gate.gain);
}

TEST(Amp, UnpreparedEmptyAndOverlongBlocks) {
    std::vector<float> in(64, 0.5f), out(64, 7.0f);
    Amp fresh;
    fresh.process(in.data(), out.data(), 64);
    Amp amp = prepared(make(AmpModel::Drive), 32);
    amp.process(in.data(), out.data(), 0);
    EXPECT_EQ(out, std::vector<float>(64, 7.0f));
    amp.process(in.data(), out.data(), 64);
    EXPECT_NE(out[31], 7.0f);
    EXPECT_EQ(out[32], 7.0f);
}

// Whatever tanh width the CPU gets: the curves within float rounding, also far
// out, and no dependence on a sample's place in the block.
TEST(Waveshaper, CurvesAndBlockIndependence) {
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

// A loud 5 kHz note through Drive at its default gain (about +-6 into the
// shaper). Its steady output repeats every 48 samples, so over exactly one
// second every component lies on a multiple of 1 kHz: harmonics on 5, 10, 15,
// 20 kHz, folded components on the others (judged up to 20 kHz).
// Returns {worst alias re fundamental, strongest other harmonic re worst alias} in dB.
std::pair<double, double> aliasing(const std::function<void(const float*, float*, int32_t)>& process) {
    const std::vector<float> in = test::sine(72000, 5000.0, 0.5f);
    std::vector<float> out(in.size());
    for (size_t at = 0; at < in.size(); at += 250) process(in.data() + at, out.data() + at, 250);
    double level[21] = {}, alias = 0.0, harmonic = 0.0;
    for (int k = 1; k <= 20; ++k) {
        std::complex<double> acc = 0.0;
        for (size_t i = 24000; i < out.size(); ++i) acc += static_cast<double>(out[i]) * std::polar(1.0, -2 * M_PI * k * i / 48.0);
        level[k] = std::abs(acc);
        if (k % 5 != 0) alias = std::max(alias, level[k]);
        else if (k != 5) harmonic = std::max(harmonic, level[k]);
    }
    return {20 * std::log10(alias / level[5]), 20 * std::log10(harmonic / alias)};
}

// Measured here: amp output, worst alias (3 kHz) 50.8 dB below the fundamental;
// shaper stage (the cabinet filter damps the upper harmonics below the aliases),
// worst alias 45.7 dB below the strongest harmonic (15 kHz) with the
// oversampler, against 9.1 dB when shaping at the base rate.
TEST(SoundQuality, OversampledDriveKeepsAliasesFarBelowHarmonics) {
    Amp amp = prepared(make(AmpModel::Drive, 0.6f, 1.0f, 0.0f), 256);
    const auto heard = aliasing([&](const float* in, float* out, int32_t n) { amp.process(in, out, n); });
    const float gain = amp.preGain();
    const Waveshaper shaper;
    Oversampler o;
    o.prepare(256);
    std::vector<float> up(1024);
    const auto oversampled = aliasing([&](const float* in, float* out, int32_t n) {
        for (int32_t i = 0; i < n; ++i) out[i] = in[i] * gain;
        o.upsample(out, up.data(), n);
        shaper.process(true, up.data(), 4 * n);
        o.downsample(up.data(), out, n);
    });
    const auto baseRate = aliasing([&](const float* in, float* out, int32_t n) {
        for (int32_t i = 0; i < n; ++i) out[i] = in[i] * gain;
        shaper.process(true, out, n);
    });
    std::printf("amp: alias %.1f dB re fundamental; shaper: %.1f dB below harmonics oversampled, %.1f at base rate\n",
                heard.first, oversampled.second, baseRate.second);
    EXPECT_LT(heard.first, -45.0);
    EXPECT_GT(oversampled.second, 30.0);
    EXPECT_GT(oversampled.second, baseRate.second + 20.0);
}

} // namespace
} // namespace corvena
