// Edits made in the editor reach processing: the test plug-in's view edits its
// gain from a timer tick, and a 220 Hz tone through the engine on a private JACK
// server drops to half.
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

// Peak level, the median of three captures of 0.1 s: a late cycle of the test's
// own client (a gap or phase jump) or one xrun on a busy machine decides nothing.
double steadyAmplitude(JackPeer& peer) {
    std::vector<double> a;
    for (int i = 0; i < 3; ++i) {
        auto out = peer.capture(4800);
        if (out.empty() || out[0].size() != 4800) return -1;
        float peak = 0;
        for (float v : out[0]) peak = std::max(peak, std::fabs(v));
        a.push_back(peak);
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
    JackPeer peer(JackEnvironment::server().name(), "EditorPeer");
    ASSERT_TRUE(peer.ok()) << peer.error();
    ASSERT_TRUE(peer.connectToEngine());
    peer.setSine(0, 220, 0.3f);
    json loaded = json::parse(engine.request(R"({"id":2,"cmd":"vstLoad","path":")" + testBundle("CorvenaEditor") + R"("})"));
    ASSERT_EQ(loaded["ok"], true) << loaded.dump();

    std::this_thread::sleep_for(200ms);
    double unity = steadyAmplitude(peer);
    ASSERT_GT(unity, 0.05);

    // The view's timer edits the gain to 0.25 (half of unity) through performEdit.
    ASSERT_EQ(json::parse(engine.request(R"({"id":3,"cmd":"vstEditor"})"))["ok"], true);
    waitFor([&] { return steadyAmplitude(peer) < unity * 0.75; });
    // That capture may hold the moment of the change; measure later ones.
    EXPECT_NEAR(steadyAmplitude(peer) / unity, 0.5, 0.02) << "unity " << unity;
    // It stays after the editor is closed.
    ASSERT_EQ(json::parse(engine.request(R"({"id":4,"cmd":"vstEditor","open":false})"))["ok"], true);
    EXPECT_NEAR(steadyAmplitude(peer) / unity, 0.5, 0.02);

    engine.send(R"({"id":5,"cmd":"vstUnload"})");
    engine.send(R"({"id":6,"cmd":"quit"})");
    EXPECT_EQ(engine.wait(10s), 0);
}
