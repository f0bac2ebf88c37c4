// The amplifier models, and the mend for settings that overflow single precision.
#include "DspTestUtil.h"
#include "dsp/Amp.h"
#include "dsp/OutputLimiter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace corvena {
namespace {

constexpr double fs = 48000.0;
constexpr int32_t block = 128;

AmpSettings settingsWith(AmpModel model, float gain = 0.6f, float level = 0.7f, float gate = 0.5f) {
    AmpSettings s;
    s.model = model;
    s.gain = gain;
    s.level = level;
    s.gate = gate;
    return s;
}

Amp preparedAmp(const AmpSettings& s, int32_t maxBlock = block) {
    Amp amp(s);
    amp.prepare(fs, maxBlock);
    amp.applySettings(s);
    return amp;
}

// Runs the signal through in blocks, returning the output.
std::vector<float> run(Amp& amp, const std::vector<float>& in, int32_t blockSize = block) {
    std::vector<float> out(in.size());
    for (size_t at = 0; at < in.size(); at += blockSize) {
        const int32_t n = static_cast<int32_t>(std::min<size_t>(blockSize, in.size() - at));
        amp.process(in.data() + at, out.data() + at, n);
    }
    return out;
}

TEST(Amp, GainsFollowTheModel) {
    EXPECT_EQ(preparedAmp(settingsWith(AmpModel::Clean, 0.0f)).preGain(), 1.0f);
    EXPECT_EQ(preparedAmp(settingsWith(AmpModel::Drive, 0.0f)).preGain(), 1.0f);
    EXPECT_NEAR(preparedAmp(settingsWith(AmpModel::Clean, 1.0f)).preGain(), 5.0119, 1e-4);
    EXPECT_NEAR(preparedAmp(settingsWith(AmpModel::Drive, 1.0f)).preGain(), 63.096, 1e-3);
    EXPECT_EQ(preparedAmp(settingsWith(AmpModel::Drive, 3.0f)).preGain(), static_cast<float>(std::pow(10.0, 5.4)));
    EXPECT_EQ(preparedAmp(settingsWith(AmpModel::Drive, 0.6f, 1.0f)).outputGain(), 0.5f);
    EXPECT_EQ(preparedAmp(settingsWith(AmpModel::Drive, 0.6f, 0.7f)).outputGain(), 0.7f * 0.7f * 0.5f);
    EXPECT_NEAR(preparedAmp(settingsWith(AmpModel::Drive)).gate().threshold, 0.0017783, 1e-7);
    EXPECT_EQ(preparedAmp(settingsWith(AmpModel::Drive, 0.6f, 0.7f, 1.5f)).gate().threshold,
              preparedAmp(settingsWith(AmpModel::Drive, 0.6f, 0.7f, 1.0f)).gate().threshold);
}

TEST(Amp, ModelSwitchMovesOnlyTheModelSections) {
    Amp clean = preparedAmp(settingsWith(AmpModel::Clean));
    Amp drive = preparedAmp(settingsWith(AmpModel::Drive));
    for (int i : {0, 2, 3, 4, 5}) {
        EXPECT_EQ(clean.section(i).b0, drive.section(i).b0) << i;
        EXPECT_EQ(clean.section(i).a1, drive.section(i).a1) << i;
    }
    for (int i : {1, 6, 7, 8, 9}) EXPECT_NE(clean.section(i).a1, drive.section(i).a1) << i;
    EXPECT_NEAR(test::magnitudeAt(drive.section(8), fs, 2600.0), std::pow(10.0, 4.0 / 20.0), 1e-9);
    EXPECT_NEAR(test::magnitudeAt(clean.section(9), fs, 850.0), std::pow(10.0, -2.0 / 20.0), 1e-9);
    EXPECT_NEAR(test::magnitudeAt(drive.section(6), fs, 4200.0) * test::magnitudeAt(drive.section(7), fs, 4200.0),
                std::sqrt(0.5), 1e-3); // fourth-order Butterworth: -3 dB at the corner

    // Any model value but Drive is Clean.
    AmpSettings seven = settingsWith(AmpModel::Clean);
    seven.model = static_cast<AmpModel>(7);
    Amp odd = preparedAmp(seven);
    const std::vector<float> in = test::sine(1024, 220.0, fs, 0.3f);
    EXPECT_EQ(run(odd, in), run(clean, in));
}

TEST(Amp, ToneControlsSpanPlusMinusTwelveDecibels) {
    AmpSettings s = settingsWith(AmpModel::Drive);
    Amp flat = preparedAmp(s);
    for (int i = 2; i <= 4; ++i) {
        EXPECT_EQ(flat.section(i).b0, 1.0);
        EXPECT_EQ(flat.section(i).b1, flat.section(i).a1);
    }
    s.bass = 1.0f;
    s.treble = 0.0f;
    s.mid = 1.5f; // beyond the scale the line extends: +24 dB
    Amp shaped = preparedAmp(s);
    EXPECT_NEAR(test::magnitudeAt(shaped.section(2), fs, 0.0), std::pow(10.0, 12.0 / 20.0), 1e-9);
    EXPECT_NEAR(test::magnitudeAt(shaped.section(4), fs, fs / 2), std::pow(10.0, -12.0 / 20.0), 2e-3);
    EXPECT_NEAR(test::magnitudeAt(shaped.section(3), fs, 700.0), std::pow(10.0, 24.0 / 20.0), 1e-9);
}

TEST(Amp, SilenceInGivesExactSilenceOut) {
    for (AmpModel model : {AmpModel::Clean, AmpModel::Drive}) {
        for (float gate : {0.0f, 0.5f}) {
            Amp amp = preparedAmp(settingsWith(model, 1.0f, 1.0f, gate));
            const std::vector<float> out = run(amp, std::vector<float>(4096, 0.0f));
            for (float y : out) ASSERT_EQ(y, 0.0f);
        }
    }
}

TEST(Amp, InPlaceEqualsSeparateBuffersAndLevelZeroIsSilent) {
    Amp a = preparedAmp(settingsWith(AmpModel::Drive)), b = preparedAmp(settingsWith(AmpModel::Drive));
    const std::vector<float> in = test::sine(1024, 330.0, fs, 0.4f);
    std::vector<float> inPlace = in;
    for (size_t at = 0; at < in.size(); at += block) a.process(inPlace.data() + at, inPlace.data() + at, block);
    const std::vector<float> separate = run(b, in);
    EXPECT_EQ(inPlace, separate);
    double energy = 0;
    for (float y : separate) energy += y * y;
    EXPECT_GT(energy, 1.0);

    Amp silent = preparedAmp(settingsWith(AmpModel::Drive, 0.6f, 0.0f));
    for (float y : run(silent, in)) ASSERT_EQ(y, 0.0f);
}

TEST(Amp, GateOffFreezesItsStateAndSettingsKeepFilterState) {
    Amp amp = preparedAmp(settingsWith(AmpModel::Clean, 0.5f, 0.7f, 0.5f));
    const std::vector<float> in = test::sine(block, 200.0, fs, 0.2f);
    run(amp, in);
    const NoiseGate before = amp.gate();
    EXPECT_GT(before.gain, 0.0f);

    amp.applySettings(settingsWith(AmpModel::Clean, 0.5f, 0.7f, 0.0f));
    const Biquad s5 = amp.section(5);
    std::vector<float> out = run(amp, std::vector<float>(block, 0.0f));
    EXPECT_EQ(amp.gate().envelope, before.envelope);
    EXPECT_EQ(amp.gate().gain, before.gain);
    EXPECT_EQ(amp.gate().holdCounter, before.holdCounter);

    const double z1 = amp.section(5).z1;
    EXPECT_NE(z1, s5.z1); // the filters kept running on their old state
    amp.applySettings(settingsWith(AmpModel::Drive, 0.9f));
    EXPECT_EQ(amp.section(5).z1, z1);
    EXPECT_NE(amp.section(1).a1, s5.a1);
}

TEST(Amp, UnpreparedOrEmptyCallsLeaveOutputAlone_LongBlocksStopAtPreparedSize) {
    Amp fresh;
    std::vector<float> in(64, 0.5f), out(64, 7.0f);
    fresh.process(in.data(), out.data(), 64);
    for (float y : out) EXPECT_EQ(y, 7.0f);

    Amp amp = preparedAmp(settingsWith(AmpModel::Drive), 32);
    amp.process(in.data(), out.data(), 0);
    for (float y : out) EXPECT_EQ(y, 7.0f);
    amp.process(in.data(), out.data(), 64);
    for (int i = 32; i < 64; ++i) EXPECT_EQ(out[i], 7.0f);
    EXPECT_NE(out[31], 7.0f);
}

// Mended fault: with a huge gain (Drive overflows single precision from about
// 21.5, 1e39 is infinite at once) or level, silence times infinity used to put
// NaN into the filters for good. Now the output stays finite, and the amp
// plays on normally once sane settings return.
TEST(AmpOverflow, HugeGainStaysFiniteAndRecovers) {
    for (AmpModel model : {AmpModel::Drive, AmpModel::Clean}) {
        for (float gain : {static_cast<float>(1e39), 30.0f, 21.4f}) {
            Amp amp = preparedAmp(settingsWith(model)), reference = preparedAmp(settingsWith(model));
            // Silence first (0 * inf), then a note.
            std::vector<float> in(48000, 0.0f);
            const std::vector<float> note = test::sine(24000, 196.0, fs, 0.5f);
            std::copy(note.begin(), note.end(), in.begin() + 24000);

            amp.applySettings(settingsWith(model, gain));
            const std::vector<float> loud = run(amp, in);
            ASSERT_TRUE(test::allFinite(loud.data(), loud.size())) << "gain " << gain;
            EXPECT_TRUE(std::isfinite(amp.preGain()));
            for (size_t i = 0; i < 24000; ++i) ASSERT_EQ(loud[i], 0.0f);
            EXPECT_GT(std::fabs(loud.back()) + std::fabs(loud[loud.size() - 7]), 0.01f);

            amp.applySettings(settingsWith(model));
            const std::vector<float> after = run(amp, note);
            const std::vector<float> expected = run(reference, note);
            ASSERT_TRUE(test::allFinite(after.data(), after.size()));
            // The filters behind the shaper forget the loud passage within a few hundred ms.
            for (size_t i = 12000; i < after.size(); ++i) ASSERT_NEAR(after[i], expected[i], 1e-4) << i;
        }
    }
}

TEST(AmpOverflow, HugeLevelNeverGivesNaNAndLimiterRecoversAtOnce) {
    Amp amp = preparedAmp(settingsWith(AmpModel::Drive)), reference = preparedAmp(settingsWith(AmpModel::Drive));
    OutputLimiter limiter, referenceLimiter;
    limiter.prepare(fs);
    referenceLimiter.prepare(fs);
    std::vector<float> in(4096, 0.0f);
    const std::vector<float> note = test::sine(2048, 196.0, fs, 0.2f);
    std::copy(note.begin(), note.end(), in.begin() + 2048);

    amp.applySettings(settingsWith(AmpModel::Drive, 0.6f, 1e30f));
    reference.applySettings(settingsWith(AmpModel::Drive, 0.6f, 0.7f));
    std::vector<float> loud = run(amp, in);
    for (float y : loud) ASSERT_FALSE(std::isnan(y));
    for (size_t i = 0; i < 2048; ++i) ASSERT_EQ(loud[i], 0.0f);
    limiter.process(loud.data(), static_cast<int32_t>(loud.size()));
    ASSERT_TRUE(test::allFinite(loud.data(), loud.size()));
    std::vector<float> ref = run(reference, in);
    referenceLimiter.process(ref.data(), static_cast<int32_t>(ref.size()));

    amp.applySettings(settingsWith(AmpModel::Drive));
    std::vector<float> after = run(amp, note), expected = run(reference, note);
    limiter.process(after.data(), 2048);
    referenceLimiter.process(expected.data(), 2048);
    EXPECT_EQ(after, expected); // the level acts behind the filters, so nothing was disturbed
}

TEST(AmpOverflow, NonFiniteInputIsDroppedAndTheAmpStartsAfresh) {
    Amp amp = preparedAmp(settingsWith(AmpModel::Drive));
    std::vector<float> in = test::sine(4 * block, 196.0, fs, 0.3f);
    in[block + 5] = std::numeric_limits<float>::quiet_NaN();
    in[block + 6] = std::numeric_limits<float>::infinity();
    const std::vector<float> out = run(amp, in);
    ASSERT_TRUE(test::allFinite(out.data(), out.size()));
    for (int i = block; i < 2 * block; ++i) EXPECT_EQ(out[i], 0.0f);
    const std::vector<float> later = run(amp, test::sine(4 * block, 196.0, fs, 0.3f));
    ASSERT_TRUE(test::allFinite(later.data(), later.size()));
    EXPECT_GT(std::fabs(later.back()), 0.0f);
}

} // namespace
} // namespace corvena
