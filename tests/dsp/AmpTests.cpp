// The amplifier models, and the mend for settings that overflow single precision.
#include "DspTestKit.h"
#include "dsp/Amp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

namespace corvena {
namespace {
using test::magnitudeAt;
constexpr double fs = 48000.0;

AmpSettings make(AmpModel model, float gain = 0.6f, float level = 0.7f, float gate = 0.5f) {
    AmpSettings s;
    s.model = model;
    s.gain = gain;
    s.level = level;
    s.gate = gate;
    return s;
}

Amp prepared(const AmpSettings& s, int32_t block = 128) {
    Amp amp(s);
    amp.prepare(fs, block);
    amp.applySettings(s);
    return amp;
}

std::vector<float> run(Amp& amp, const std::vector<float>& in) {
    std::vector<float> out(in.size());
    for (size_t at = 0; at < in.size(); at += 128)
        amp.process(in.data() + at, out.data() + at, static_cast<int32_t>(std::min<size_t>(128, in.size() - at)));
    return out;
}

TEST(Amp, GainsAndThresholdFollowTheSettings) {
    EXPECT_EQ(prepared(make(AmpModel::Clean, 0.0f)).preGain(), 1.0f);
    EXPECT_EQ(prepared(make(AmpModel::Drive, 0.0f)).preGain(), 1.0f);
    EXPECT_NEAR(prepared(make(AmpModel::Clean, 1.0f)).preGain(), 5.0119, 1e-4);
    EXPECT_NEAR(prepared(make(AmpModel::Drive, 1.0f)).preGain(), 63.096, 1e-3);
    for (float gain : {3.0f, 21.4f}) // finite however large: exactly as computed
        EXPECT_EQ(prepared(make(AmpModel::Drive, gain)).preGain(), static_cast<float>(std::pow(10.0, gain * 1.8)));
    EXPECT_EQ(prepared(make(AmpModel::Drive, 30.0f)).preGain(), std::numeric_limits<float>::max());
    EXPECT_EQ(prepared(make(AmpModel::Drive, 0.6f, 1.0f)).outputGain(), 0.5f);
    EXPECT_EQ(prepared(make(AmpModel::Drive)).outputGain(), 0.7f * 0.7f * 0.5f);
    EXPECT_NEAR(prepared(make(AmpModel::Drive)).gate().threshold, 0.0017783, 1e-7);
}

TEST(Amp, ModelsDifferOnlyInTheirSections) {
    Amp clean = prepared(make(AmpModel::Clean)), drive = prepared(make(AmpModel::Drive));
    for (int i : {0, 2, 3, 4, 5}) EXPECT_EQ(clean.section(i).a1, drive.section(i).a1) << i;
    for (int i : {1, 6, 7, 8, 9}) EXPECT_NE(clean.section(i).a1, drive.section(i).a1) << i;
    EXPECT_NEAR(magnitudeAt(drive.section(8), fs, 2600.0), std::pow(10.0, 0.2), 1e-9);
    EXPECT_NEAR(magnitudeAt(clean.section(9), fs, 850.0), std::pow(10.0, -0.1), 1e-9);
    EXPECT_NEAR(magnitudeAt(drive.section(6), fs, 4200) * magnitudeAt(drive.section(7), fs, 4200), M_SQRT1_2, 1e-3);
    AmpSettings s = make(AmpModel::Clean);
    s.model = static_cast<AmpModel>(7);
    s.bass = 1.0f;
    s.treble = 0.0f;
    Amp seven = prepared(s);
    EXPECT_EQ(seven.section(1).a1, clean.section(1).a1);
    EXPECT_NEAR(magnitudeAt(seven.section(2), fs, 0.0), std::pow(10.0, 0.6), 1e-9);
    EXPECT_NEAR(magnitudeAt(seven.section(4), fs, fs / 2), std::pow(10.0, -0.6), 2e-3);
    EXPECT_EQ(clean.section(3).b1, clean.section(3).a1); // 0.5 is flat
}

TEST(Amp, SilenceInPlaceAndLevelZero) {
    for (AmpModel model : {AmpModel::Clean, AmpModel::Drive})
        for (float gate : {0.0f, 0.5f}) {
            Amp amp = prepared(make(model, 1.0f, 1.0f, gate));
            for (float y : run(amp, std::vector<float>(2048, 0.0f))) ASSERT_EQ(y, 0.0f);
        }
    Amp a = prepared(make(AmpModel::Drive)), b = prepared(make(AmpModel::Drive));
    std::vector<float> x = test::sine(1024, 330.0, 0.4f);
    const std::vector<float> separate = run(b, x);
    for (size_t at = 0; at < x.size(); at += 128) a.process(x.data() + at, x.data() + at, 128);
    EXPECT_EQ(x, separate);
    Amp silent = prepared(make(AmpModel::Drive, 0.6f, 0.0f));
    for (float y : run(silent, separate)) ASSERT_EQ(y, 0.0f);
}

TEST(Amp, GateOffFreezesGateSettingsKeepFilterState) {
    Amp amp = prepared(make(AmpModel::Clean));
    run(amp, test::sine(128, 200.0, 0.2f));
    const NoiseGate gate = amp.gate();
    amp.applySettings(make(AmpModel::Clean, 0.6f, 0.7f, 0.0f));
    run(amp, test::sine(128, 200.0, 0.2f));
    EXPECT_EQ(amp.gate().envelope, gate.envelope);
    EXPECT_EQ(amp.gate().gain, gate.gain);
    const double z1 = amp.section(5).z1, a1 = amp.section(1).a1;
    amp.applySettings(make(AmpModel::Drive, 0.9f));
    EXPECT_EQ(amp.section(5).z1, z1);
    EXPECT_NE(amp.section(1).a1, a1);
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

// Mended fault: a huge gain (Drive overflows single precision from about 21.5;
// 1e39 is infinite at once) turned silence into NaN (0 * inf) that stayed in
// the filters for good. Now the output stays finite and, once sane settings
// return, converges on that of an amp that never saw them.
TEST(AmpOverflow, HugeGainStaysFiniteAndRecovers) {
    for (AmpModel model : {AmpModel::Drive, AmpModel::Clean})
        for (float gain : {static_cast<float>(1e39), 30.0f, 21.4f}) {
            Amp amp = prepared(make(model)), reference = prepared(make(model));
            std::vector<float> in(24000, 0.0f);
            const std::vector<float> note = test::sine(24000, 196.0, 1.5f); // hot enough to overflow the product
            in.insert(in.end(), note.begin(), note.end());
            amp.applySettings(make(model, gain));
            const std::vector<float> loud = run(amp, in);
            ASSERT_TRUE(test::allFinite(loud.data(), loud.size())) << gain;
            EXPECT_EQ(loud[23999], 0.0f);
            for (size_t at = 24000 + 1280; at + 128 <= loud.size(); at += 128) // the note plays on, without dropouts
                ASSERT_GT(*std::max_element(loud.begin() + at, loud.begin() + at + 128), 0.01f) << gain << " " << at;
            amp.applySettings(make(model));
            const std::vector<float> after = run(amp, note), expected = run(reference, note);
            for (size_t i = 12000; i < after.size(); ++i) ASSERT_NEAR(after[i], expected[i], 1e-4) << i;
        }
}

TEST(AmpOverflow, HugeLevelGivesNoNaNAndNonFiniteInputRestartsTheAmp) {
    Amp amp = prepared(make(AmpModel::Drive, 0.6f, 1e30f));
    std::vector<float> in(256, 0.0f);
    const std::vector<float> note = test::sine(256, 196.0, 0.2f);
    in.insert(in.end(), note.begin(), note.end());
    for (float y : run(amp, in)) ASSERT_FALSE(std::isnan(y)); // silence stays 0, signal +-inf for the limiter

    amp.applySettings(make(AmpModel::Drive));
    std::vector<float> x = test::sine(512, 196.0, 0.3f);
    x[133] = std::numeric_limits<float>::quiet_NaN();
    x[134] = std::numeric_limits<float>::infinity();
    const std::vector<float> out = run(amp, x);
    ASSERT_TRUE(test::allFinite(out.data(), out.size()));
    for (int i = 128; i < 256; ++i) ASSERT_EQ(out[i], 0.0f);
    EXPECT_NE(out.back(), 0.0f);
}

} // namespace
} // namespace corvena
