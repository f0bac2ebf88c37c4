// Parameter edits made in the editor reach the plug-in's processing: the test
// plug-in's view edits its gain from a timer tick, and the 220 Hz tone at the
// engine's output on a private JACK server drops by half.
#include "plugin/TestPlugins.h" // tests/plugin
#include "support/EngineProcess.h"
#include "support/JackPeer.h"
#include "support/JackServer.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <thread>

using namespace corvena::test;
using json = nlohmann::json;
using namespace std::chrono_literals;

static auto* const xvfb = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);
static auto* const jackEnv = ::testing::AddGlobalTestEnvironment(new JackEnvironment);

namespace {

constexpr float kToneHz = 220;

// Peak level of a captured tone. Unlike a fit against a continuous sine, a late
// cycle of the test's own JACK client (a gap or a phase jump) on a busy machine
// leaves it alone.
double toneAmplitude(const std::vector<float>& x) {
    double peak = 0;
    for (float v : x) peak = std::max(peak, static_cast<double>(std::fabs(v)));
    return peak;
}

// Median over three captures of 0.1 s on `channel`: one block disturbed by an
// xrun on a busy machine does not decide the result.
double steadyAmplitude(JackPeer& peer, size_t channel = 0) {
    std::vector<double> a;
    for (int i = 0; i < 3; ++i) {
        auto out = peer.capture(4800);
        if (out.size() <= channel || out[channel].size() != 4800) return -1;
        a.push_back(toneAmplitude(out[channel]));
    }
    std::sort(a.begin(), a.end());
    return a[1];
}

} // namespace

TEST(EditorEdits, EditFromTheEditorIsHeardInTheOutput) {
    EngineProcess engine(CORVENA_AUDIO_BINARY, JackEnvironment::server().environment());
    ASSERT_TRUE(engine.readLine());
    json opened = json::parse(engine.request(R"({"id":1,"cmd":"open"})"));
    ASSERT_EQ(opened["ok"], true) << opened.dump();
    ASSERT_EQ(opened["sampleRate"], 48000);
    JackPeer peer(JackEnvironment::server().name(), "EditorPeer");
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_TRUE(peer.connectToEngine());
    peer.setSine(0, kToneHz, 0.3f);

    const std::string path = testBundle("CorvenaEditor");
    json loaded = json::parse(engine.request(R"({"id":2,"cmd":"vstLoad","path":")" + path + R"("})"));
    ASSERT_EQ(loaded["ok"], true) << loaded.dump();

    // The gain plug-in at its default (unity) while no editor runs.
    std::this_thread::sleep_for(200ms);
    double unity = steadyAmplitude(peer);
    double unityRight = steadyAmplitude(peer, 1);
    ASSERT_GT(unity, 0.05);
    ASSERT_NEAR(unityRight, unity, 0.01);

    // Opening the editor starts the view's timer, which edits the gain to 0.25
    // (half of unity) through the controller's performEdit.
    ASSERT_EQ(json::parse(engine.request(R"({"id":3,"cmd":"vstEditor"})"))["ok"], true);
    double after = unity;
    auto end = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < end) {
        auto out = peer.capture(4800);
        ASSERT_FALSE(out.empty());
        after = toneAmplitude(out[0]);
        if (after < unity * 0.75) break;
    }
    // That capture may hold the moment of the change; measure later ones.
    after = steadyAmplitude(peer);
    EXPECT_NEAR(after / unity, 0.5, 0.02) << "unity " << unity << ", after " << after;
    // Both output channels carry it.
    EXPECT_NEAR(steadyAmplitude(peer, 1) / unityRight, 0.5, 0.02);

    // The edit stays after the editor is closed.
    ASSERT_EQ(json::parse(engine.request(R"({"id":4,"cmd":"vstEditor","open":false})"))["ok"], true);
    EXPECT_NEAR(steadyAmplitude(peer) / unity, 0.5, 0.02);

    engine.send(R"({"id":5,"cmd":"vstUnload"})");
    engine.send(R"({"id":6,"cmd":"quit"})");
    EXPECT_EQ(engine.wait(10s), 0);
}
