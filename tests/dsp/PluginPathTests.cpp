// The callback's stereo path with the project's own gain plug-in, whose factor
// (2 x gain) the test sets through the plug-in's probe.
#include "DspTestKit.h"
#include "plugin/TestPlugins.h"

#include <gtest/gtest.h>

#include <limits>

namespace corvena {
namespace {

TEST(PluginPath, StereoBlockBypassesAmpAndNonFiniteOutputIsContained) {
    test::EngineRig rig;
    test::ProbeHandle probe{"CorvenaGain"};
    std::string error;
    ASSERT_TRUE(rig.engine.loadPlugin(test::testBundle("CorvenaGain"), error)) << error;
    struct Unload { Engine& e; ~Unload() { e.unloadPlugin(); } } unload{rig.engine};
    rig.engine.setMonitor(true, 1.0f);
    rig.engine.wetPath = "wet.wav";
    rig.engine.recording.store(true);
    OutputLimiter reference;
    reference.prepare(48000.0);
    const std::vector<float> note = test::sine(128, 440.0, 0.5f);
    std::vector<float> expected = note;
    probe->gain = 0.5;
    rig.run(note.data());
    reference.process(expected.data(), 128);

    // Mended fault: NaN or infinity from a plug-in reached the monitor and
    // poisoned the limiter for good.
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
    probe->gain = 0.5;
    rig.run(note.data());
    expected = note;
    reference.process(expected.data(), 128);
    EXPECT_EQ(rig.engine.wetBuffer, expected); // the limiter never saw the bad samples

    probe->gain = 1.0; // 0.7 in, 1.4 out on each channel
    const std::vector<float> in(128, 0.7f);
    rig.run(in.data());
    for (uint32_t i = 0; i < 128; ++i) {
        ASSERT_EQ(rig.left(i), 1.0f); // clamped, not limited
        ASSERT_LT(rig.engine.wetBuffer[i], 1.4f);
    }
    EXPECT_EQ(rig.engine.tone.amp().section(0).z1, 0.0); // the amp never ran
    probe->failProcess = true;                     // a failed block takes the built-in path
    rig.run(in.data());
    EXPECT_NE(rig.engine.tone.amp().section(0).z1, 0.0);
}

} // namespace
} // namespace corvena
