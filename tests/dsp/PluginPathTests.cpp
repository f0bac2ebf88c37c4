// The stereo (plug-in) path of the callback with a real VST 3 plug-in of our
// own: a gain whose factor the test sets through the plug-in's probe.
#include "DspTestUtil.h"
#include "EngineRig.h"
#include "dsp/Generators.h"
#include "plugin/TestPlugins.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace corvena {
namespace {
using test::EngineRig;

struct PluginRig : EngineRig {
    test::ProbeHandle probe{"CorvenaGain"};
    PluginRig() : EngineRig(1) {
        std::string error;
        loaded = engine.loadPlugin(test::testBundle("CorvenaGain"), error);
        EXPECT_TRUE(loaded) << error;
        probe->gain = 0.5; // factor 1
    }
    ~PluginRig() { engine.unloadPlugin(); }
    bool loaded = false;
};

TEST(PluginPath, StereoBlockBypassesAmpAndReachesMonitorUnlimited) {
    PluginRig rig;
    ASSERT_TRUE(rig.loaded);
    rig.engine.setMonitor(true, 1.0f);
    rig.probe->gain = 1.0; // factor 2: 0.7 in gives 1.4 per channel
    const std::vector<float> in(128, 0.7f);
    rig.run(in.data(), 128);
    EXPECT_GT(rig.probe->processCalls.load(), 0);
    for (uint32_t i = 0; i < 128; ++i) {
        ASSERT_EQ(rig.engine.pluginLeft[i], 1.4f);
        ASSERT_EQ(rig.left(i), 1.0f);  // clamped, not limited
        ASSERT_EQ(rig.right(i), 1.0f);
        ASSERT_LT(rig.engine.wetBuffer[i], 1.4f); // the mono mix went through the limiter
    }
    EXPECT_EQ(rig.engine.amp.section(0).z1, 0.0); // the amp never ran

    // A block the plug-in fails takes the built-in path.
    rig.probe->failProcess = true;
    rig.run(in.data(), 128);
    EXPECT_NE(rig.engine.amp.section(0).z1, 0.0);
}

// Mended fault: NaN or infinity from a plug-in used to reach the monitor and
// poison the limiter for good.
TEST(PluginPath, NonFinitePluginOutputIsContainedAndForgotten) {
    PluginRig rig;
    ASSERT_TRUE(rig.loaded);
    rig.engine.wetPath = "wet.wav";
    rig.engine.recording.store(true);
    OutputLimiter reference;
    reference.prepare(48000.0);
    const std::vector<float> note = test::sine(128, 440.0, 48000.0, 0.5f);
    std::vector<float> expected = note;

    rig.run(note.data(), 128);
    reference.process(expected.data(), 128);

    rig.probe->gain = std::numeric_limits<double>::infinity(); // +-inf, and NaN where the input is 0
    for (int b = 0; b < 4; ++b) {
        rig.run(note.data(), 128);
        ASSERT_TRUE(test::allFinite(rig.output.data(), 256));
        ASSERT_TRUE(test::allFinite(rig.engine.wetBuffer.data(), 128));
        EXPECT_EQ(rig.left(0), 0.0f); // sin(0) * inf
        EXPECT_EQ(rig.left(10), 1.0f);
    }
    std::vector<float> wet(1024);
    const uint64_t got = rig.engine.wetRing.pop(wet.data(), wet.size());
    EXPECT_EQ(got, 5u * 128);
    EXPECT_TRUE(test::allFinite(wet.data(), got));

    rig.probe->gain = 0.5;
    rig.run(note.data(), 128);
    expected = note;
    reference.process(expected.data(), 128);
    for (uint32_t i = 0; i < 128; ++i) ASSERT_EQ(rig.engine.wetBuffer[i], expected[i]) << i;
}

} // namespace
} // namespace corvena
