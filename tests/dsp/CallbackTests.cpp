// The audio callback's block on an engine rig: routing, meters, generators,
// the recorder's hand-off, and what it does with absurd values.
#include "dsp/Amp.h"
#include "support/EngineRig.h"
#include "support/TestPlugins.h"

#include <gtest/gtest.h>

#include <future>
#include <limits>
#include <mutex>

namespace corvena {
namespace {
using test::EngineRig;
using test::sine;

// Meters, xruns and the selected channel; frames beyond the prepared block are
// silent; no input is silence; the monitor level clamps at 2.
TEST(ProcessBlock, XrunsChannelSelectionMetersLongBlocksAndNullInput) {
    EngineRig rig(2);
    rig.engine.ampEnabled.store(false);
    rig.engine.setMonitor(true, 1.0f);
    rig.engine.selectedInputChannel.store(5); // a 2-channel stream: channel 1
    std::vector<float> in(256), low(256, 0.001f);
    for (uint32_t k = 0; k < 256; ++k) in[k] = -0.001f * (k % 2 + 1) * (k / 2 % 7); // meters read magnitudes
    rig.run(in.data(), 128, 3); // both flags: one xrun
    rig.run(low.data(), 128, 0); // lower peaks leave the meters as they are
    EXPECT_EQ(rig.engine.takeXrunCount(), 1u);
    for (uint32_t i = 0; i < 128; ++i) ASSERT_EQ(rig.right(i), 0.001f);
    EXPECT_EQ(rig.engine.takeInputPeaks(), (std::vector<float>{0.006f, 0.012f}));
    EXPECT_EQ(rig.engine.takeOutputPeak(), 0.012f);
    EXPECT_EQ(rig.engine.takeInputPeaks(), (std::vector<float>{0.0f, 0.0f})) << "a read resets";
    EXPECT_EQ(rig.engine.takeOutputPeak() + rig.engine.takeXrunCount(), 0.0f);

    rig.engine.setMonitor(true, 2.0f);
    const std::vector<float> loud(512, -1.0f);
    for (int b = 0; b < 3; ++b) rig.run(loud.data(), 256);
    for (uint32_t i = 0; i < 256; ++i) {
        ASSERT_EQ(rig.left(i), i < 128 ? -1.0f : 0.0f) << "beyond the prepared block: silence";
        ASSERT_EQ(rig.right(i), rig.left(i));
    }
    EXPECT_EQ(rig.engine.takeOutputPeak(), 1.0f);
    rig.engine.takeInputPeaks();
    rig.run(nullptr);
    EXPECT_EQ(rig.engine.diBuffer, std::vector<float>(128, 0.0f));
    EXPECT_EQ(rig.engine.takeInputPeaks(), (std::vector<float>{0.0f, 0.0f}));
}

TEST(ProcessBlock, ClickOnlyWhileRecordingAndSettingsAtTheNextBlock) {
    EngineRig rig;
    rig.engine.setMetronome(true, 120.0f);
    rig.engine.setMonitor(false, 0.8f);
    rig.engine.setAmpSettings({AmpModel::Clean}, false);
    const std::vector<float> in(128, 0.3f);
    rig.run(in.data());
    EXPECT_FALSE(rig.engine.settingsChanged.load());
    EXPECT_EQ(std::vector<float>(rig.output.begin(), rig.output.begin() + 256), std::vector<float>(256, 0.0f)) << "no click";

    rig.engine.recording.store(true); // monitor off: the click alone, from the take's first frame
    rig.run(in.data());
    EXPECT_EQ(rig.left(0), 0.0f);
    EXPECT_GT(std::fabs(rig.left(1)), 0.0f);
    EXPECT_EQ(rig.right(1), rig.left(1));
    std::vector<float> sink(256);
    EXPECT_EQ(rig.engine.wetRing.pop(sink.data(), 256), 0u) << "no wet path: no wet recording";
    EXPECT_EQ(rig.engine.diRing.pop(sink.data(), 256), 128u);
    rig.engine.wetPath = "wet.wav";
    rig.run(in.data());
    EXPECT_EQ(rig.engine.wetRing.pop(sink.data(), 256), 128u);
    EXPECT_EQ(std::vector<float>(sink.begin(), sink.begin() + 128), in) << "the amp bypassed, the click never recorded";
}

TEST(ProcessBlock, AHeldSettingsMutexOnlyPostponesTheChange) {
    EngineRig rig;
    rig.engine.setAmpSettings({AmpModel::Clean}, true);
    std::unique_lock<std::mutex> held(rig.engine.settingsMutex); // the control thread, mid-change
    const std::vector<float> in(128, 0.1f);
    auto blocks = std::async(std::launch::async, [&] {
        for (int b = 0; b < 5; ++b) rig.run(in.data());
    });
    EXPECT_EQ(blocks.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the callback waited";
    EXPECT_TRUE(rig.engine.settingsChanged.load());
    held.unlock();
    blocks.wait();
    rig.run(in.data());
    EXPECT_FALSE(rig.engine.settingsChanged.load());
}

// No setting and no non-finite input reaches the output or the wet take as NaN
// or infinity; a hot note plays on under absurd gains, and once sane settings
// return the chain sounds as if nothing had happened.
TEST(ProcessBlock, AbsurdSettingsNeverReachOutputOrTake) {
    std::vector<float> note = sine(48000, 196.0, 1.5f), bad = note, silence(128, 0.0f), wet(48000);
    bad[3] = std::numeric_limits<float>::quiet_NaN();
    bad[4] = std::numeric_limits<float>::infinity();
    auto feed = [&](EngineRig& r, uint32_t blocks) {
        for (uint32_t b = 0; b < blocks; ++b) {
            r.run(b % 4 == 0 ? silence.data() : (b == 2 ? bad.data() : note.data() + b * 128 % 47872));
            ASSERT_TRUE(test::allFinite(r.output.data(), 256)) << b;
            if (b % 4 != 0 && b > 10) ASSERT_GT(*std::max_element(r.output.begin(), r.output.begin() + 256), 0.01f) << b;
        }
    };
    for (AmpModel model : {AmpModel::Drive, AmpModel::Clean}) {
        EngineRig rig, reference;
        rig.engine.wetPath = "wet.wav";
        rig.engine.recording.store(true);
        for (const AmpSettings& s : {AmpSettings{model, float(1e39)}, AmpSettings{model, 30.0f},
                                     AmpSettings{model, 0.6f, 0.5f, 0.5f, 0.5f, 1e30f}}) {
            rig.engine.setAmpSettings(s, true);
            feed(rig, 40);
        }
        const uint64_t got = rig.engine.wetRing.pop(wet.data(), wet.size());
        EXPECT_EQ(got, 120u * 128);
        EXPECT_TRUE(test::allFinite(wet.data(), got));
        rig.engine.setAmpSettings({model}, true);
        reference.engine.setAmpSettings({model}, true);
        feed(rig, 200);
        feed(reference, 200);
        for (uint32_t i = 0; i < 256; ++i) ASSERT_NEAR(rig.output[i], reference.output[i], 1e-4);
    }
}

// The stereo path with the project's gain plug-in (output = input x 2 x gain):
// it bypasses the amp and its non-finite output is contained; a slot that
// declines (nothing loaded, or a failed block) leaves the amp and limiter.
TEST(PluginPath, StereoBlocksBypassTheAmpNonFiniteOutputIsContainedAndADecliningSlotFallsBack) {
    EngineRig rig;
    rig.engine.pluginEnabled.store(true);
    rig.engine.setMonitor(true, 1.0f);
    Amp amp;
    amp.prepare(48000.0, 128);
    amp.applySettings(AmpSettings{});
    OutputLimiter reference;
    reference.prepare(48000.0);
    const std::vector<float> note = sine(512, 196.0, 0.5f);
    for (uint32_t at = 0; at < 512; at += 128) { // nothing loaded yet
        rig.run(note.data() + at);
        std::vector<float> expected(note.begin() + at, note.begin() + at + 128);
        amp.process(expected.data(), expected.data(), 128);
        reference.process(expected.data(), 128);
        ASSERT_EQ(rig.engine.wetBuffer, expected);
    }

    test::ProbeHandle probe{"CorvenaGain"};
    std::string error;
    ASSERT_TRUE(rig.engine.loadPlugin(test::testBundle("CorvenaGain"), error)) << error;
    struct Unload { Engine& e; ~Unload() { e.unloadPlugin(); } } unload{rig.engine};
    rig.engine.wetPath = "wet.wav";
    rig.engine.recording.store(true);
    std::vector<float> expected(note.begin(), note.begin() + 128);
    rig.run(note.data());
    reference.process(expected.data(), 128);
    EXPECT_EQ(rig.engine.wetBuffer, expected) << "unity gain";

    // NaN or infinity from a plug-in reached the monitor and poisoned the limiter for
    // good (the limiter's own recovery: the OutputLimiter test).
    probe->gain = std::numeric_limits<double>::infinity(); // +-inf, NaN where the input is 0
    for (int b = 0; b < 4; ++b) {
        rig.run(note.data());
        ASSERT_TRUE(test::allFinite(rig.output.data(), 256));
        EXPECT_EQ(rig.left(0), 0.0f);
        EXPECT_EQ(rig.left(10), 1.0f);
    }
    std::vector<float> wet(1024);
    EXPECT_EQ(rig.engine.wetRing.pop(wet.data(), wet.size()), 5u * 128);
    EXPECT_TRUE(test::allFinite(wet.data(), 5 * 128));

    probe->gain = 1.0; // 0.7 in, 1.4 out on each channel: clamped, not limited
    const std::vector<float> in(128, 0.7f);
    rig.run(in.data());
    for (uint32_t i = 0; i < 128; ++i) ASSERT_EQ(rig.left(i), 1.0f);
    probe->failProcess = true;
    rig.run(in.data());
    EXPECT_LT(rig.left(64), 0.5f) << "the built-in amp";
}

} // namespace
} // namespace corvena
