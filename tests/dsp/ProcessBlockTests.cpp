// One block of the audio callback on a hand-built engine.
#include "DspTestKit.h"
#include "dsp/Generators.h"

#include <gtest/gtest.h>

#include <limits>

namespace corvena {
namespace {
using test::EngineRig;

TEST(ProcessBlock, XrunsChannelSelectionAndMeters) {
    EngineRig rig(2);
    rig.engine.ampEnabled.store(false);
    rig.engine.setMonitor(true, 1.0f);
    rig.engine.selectedInputChannel.store(5); // a 2-channel stream: channel 1
    auto ramp = [](uint32_t i, uint32_t c) { return -0.001f * (c + 1) * (i % 7); }; // meters read magnitudes
    std::vector<float> in(256);
    for (uint32_t k = 0; k < 256; ++k) in[k] = ramp(k / 2, k % 2);
    rig.run(in.data(), 128, 3);
    rig.run(in.data(), 128, 0);
    EXPECT_EQ(rig.engine.takeXrunCount(), 1u);
    for (uint32_t i = 0; i < 128; ++i) ASSERT_EQ(rig.right(i), ramp(i, 1));
    EXPECT_EQ(rig.engine.takeInputPeaks(), (std::vector<float>{0.006f, 0.012f}));
    EXPECT_EQ(rig.engine.takeOutputPeak(), 0.012f);
}

TEST(ProcessBlock, LongBlockTailNullInputAndMonitorClamp) {
    EngineRig rig;
    rig.engine.ampEnabled.store(false);
    rig.engine.setMonitor(true, 2.0f);
    const std::vector<float> in(256, -1.0f);
    for (int b = 0; b < 3; ++b) rig.run(in.data(), 256);
    for (uint32_t i = 0; i < 256; ++i) {
        ASSERT_EQ(rig.left(i), i < 128 ? -1.0f : 0.0f);
        ASSERT_EQ(rig.right(i), rig.left(i));
    }
    EXPECT_EQ(rig.engine.takeOutputPeak(), 1.0f);
    rig.engine.takeInputPeaks();
    rig.run(nullptr);
    EXPECT_EQ(rig.engine.diBuffer, std::vector<float>(128, 0.0f));
    EXPECT_EQ(rig.engine.takeInputPeaks(), std::vector<float>{0.0f});
}

TEST(ProcessBlock, DecliningPluginFallsBackToAmpAndLimiter) {
    EngineRig rig;
    rig.engine.pluginEnabled.store(true); // nothing loaded: the slot declines
    rig.engine.setMonitor(true, 1.0f);
    Amp amp;
    amp.prepare(48000.0, 128);
    amp.applySettings(AmpSettings{});
    OutputLimiter limiter;
    limiter.prepare(48000.0);
    const std::vector<float> note = test::sine(512, 196.0, 0.5f);
    for (uint32_t at = 0; at < 512; at += 128) {
        rig.run(note.data() + at);
        std::vector<float> expected(note.begin() + at, note.begin() + at + 128);
        amp.process(expected.data(), expected.data(), 128);
        limiter.process(expected.data(), 128);
        ASSERT_EQ(rig.engine.wetBuffer, expected);
        for (uint32_t i = 0; i < 128; ++i) ASSERT_EQ(rig.left(i), expected[i]);
    }
}

TEST(ProcessBlock, ToneReplacesMonitorAndClickWhileRecordingsKeepTheGuitar) {
    EngineRig rig;
    rig.engine.setTestTone(true, 440.0f, 0.15f);
    rig.engine.setMetronome(true, 120.0f);
    rig.engine.wetPath = "wet.wav";
    rig.engine.recording.store(true);
    const std::vector<float> note = test::sine(128, 196.0, 0.5f);
    double phase = 0.0;
    std::vector<float> tone(256);
    for (int b = 0; b < 3; ++b) {
        rig.engine.setTestTone(b != 1, 440.0f, 0.15f); // off and on: no phase jump
        rig.run(note.data());
        if (b == 0) EXPECT_TRUE(rig.engine.metronomeResetRequested.load()); // no click under the tone
        if (b == 1) continue;
        renderTestTone(tone.data(), 128, 48000.0, 440.0f, 0.15f, phase);
        for (uint32_t i = 0; i < 256; ++i) ASSERT_EQ(rig.output[i], tone[i]);
    }
    EXPECT_NEAR(tone[54], 0.15 * std::sin(2 * M_PI * 440 * (128 + 27) / 48000.0), 1e-6); // held while off
    std::vector<float> di(512), wet(512);
    EXPECT_EQ(rig.engine.diRing.pop(di.data(), 512), 384u);
    EXPECT_EQ(rig.engine.wetRing.pop(wet.data(), 512), 384u);
    EXPECT_TRUE(std::equal(note.begin(), note.end(), di.begin() + 256));
    EXPECT_TRUE(std::equal(wet.begin() + 256, wet.begin() + 384, rig.engine.wetBuffer.begin()));
}

TEST(ProcessBlock, ClickOnlyWhileRecordingAndSettingsAtNextBlock) {
    EngineRig rig;
    rig.engine.setMetronome(true, 120.0f);
    rig.engine.setMonitor(false, 0.8f);
    rig.engine.setAmpSettings({AmpModel::Clean}, false);
    const std::vector<float> in(128, 0.3f);
    rig.run(in.data());
    EXPECT_EQ(rig.engine.tone.amp().settings().model, AmpModel::Clean);
    EXPECT_FALSE(rig.engine.settingsChanged.load());
    EXPECT_EQ(rig.engine.wetBuffer, in); // amp bypassed
    EXPECT_EQ(std::vector<float>(rig.output.begin(), rig.output.begin() + 256), std::vector<float>(256, 0.0f));
    EXPECT_EQ(rig.engine.clickSamplesLeft, 0); // not recording: no click, no progress

    rig.engine.recording.store(true); // monitor off: the click alone, accented, from frame 0
    rig.run(in.data());
    EXPECT_EQ(rig.left(0), 0.0f);
    const double e = 1343.0 / 1344.0;
    EXPECT_EQ(rig.left(1), static_cast<float>(std::sin(1600.0 * 2 * M_PI / 48000.0) * e * e * 0.5));
    EXPECT_EQ(rig.right(1), rig.left(1));
    std::vector<float> sink(256);
    EXPECT_EQ(rig.engine.wetRing.pop(sink.data(), 256), 0u); // no wet path: no wet recording
    EXPECT_EQ(rig.engine.diRing.pop(sink.data(), 256), 128u);
}

// Mended fault: no setting and no non-finite input reaches the output or the
// wet recording as NaN or infinity, a hot note plays on under absurd gains,
// and once sane settings return the chain sounds as if nothing happened.
TEST(ProcessBlockOverflow, AbsurdSettingsNeverReachOutputOrRecording) {
    std::vector<float> note = test::sine(48000, 196.0, 1.5f), bad = note, silence(128, 0.0f), wet(48000);
    bad[3] = std::numeric_limits<float>::quiet_NaN();
    bad[4] = std::numeric_limits<float>::infinity();
    auto feed = [&](EngineRig& r, uint32_t blocks) {
        for (uint32_t b = 0; b < blocks; ++b) {
            r.run(b % 4 == 0 ? silence.data() : (b == 2 ? bad.data() : note.data() + b * 128 % 47872));
            ASSERT_TRUE(test::allFinite(r.output.data(), 256)) << b;
            if (b % 4 != 0 && b > 10) // plays on, without dropouts
                ASSERT_GT(*std::max_element(r.output.begin(), r.output.begin() + 256), 0.01f) << b;
        }
    };
    for (AmpModel model : {AmpModel::Drive, AmpModel::Clean}) {
        EngineRig rig, reference;
        rig.engine.wetPath = "wet.wav";
        rig.engine.recording.store(true);
        const AmpSettings sane{model}, gain39{model, static_cast<float>(1e39)}, gain30{model, 30.0f},
            level30{model, 0.6f, 0.5f, 0.5f, 0.5f, 1e30f};
        for (const AmpSettings& s : {gain39, gain30, level30}) {
            rig.engine.setAmpSettings(s, true);
            feed(rig, 40);
        }
        const uint64_t got = rig.engine.wetRing.pop(wet.data(), wet.size());
        EXPECT_EQ(got, 120u * 128);
        EXPECT_TRUE(test::allFinite(wet.data(), got));
        rig.engine.setAmpSettings(sane, true);
        reference.engine.setAmpSettings(sane, true);
        feed(rig, 200);
        feed(reference, 200);
        for (uint32_t i = 0; i < 256; ++i) ASSERT_NEAR(rig.output[i], reference.output[i], 1e-4);
    }
}

} // namespace
} // namespace corvena
