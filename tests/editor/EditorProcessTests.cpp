// The editor through the real engine process under Xvfb: ZamComp's own editor
// pumped by the main loop, and an edit made in our test view's editor heard
// on a private JACK server.
#include "support/EngineProcess.h"
#include "support/JackPeer.h"
#include "support/JackServer.h"
#include "support/Measures.h"
#include "support/TestPlugins.h"
#include "support/Xvfb.h"

#include <gtest/gtest.h>

using namespace corvena::test;

namespace {

struct EditorProcess : ::testing::Test {
    bool ok(json body) { return engine.request(std::move(body)).value("ok", false); }
    bool load(const std::string& path) { return ok({{"cmd", "vstLoad"}, {"path", path}}); }
    bool open(bool open = true) { return ok({{"cmd", "vstEditor"}, {"open", open}}); }
    json status() { return engine.request({{"cmd", "vstStatus"}}); }
    bool noWindow() { return waitFor([&] { return probe.topLevelsNamed("Amp").empty(); }); }
    // The one editor window, once it is shown with the plug-in's view inside.
    unsigned long editorWindow() {
        unsigned long found = 0;
        waitFor([&] {
            const auto windows = probe.topLevelsNamed("Amp");
            found = windows.size() == 1 && probe.geometry(windows[0]).viewable && probe.children(windows[0]).size() == 1 ? windows[0] : 0;
            return found != 0;
        });
        return found;
    }
    X11Probe probe; // first: DISPLAY names the test's Xvfb for the engine
    EngineProcess engine{JackServer::shared().environment()};
};

} // namespace

TEST_F(EditorProcess, ZamCompsEditorIsDrawnByTheMainLoopAndClosedByItsWindow) {
    EXPECT_TRUE(open(false)) << "nothing loaded";
    ASSERT_TRUE(load("/usr/lib/vst3/ZamComp.vst3"));
    ASSERT_TRUE(open());
    const unsigned long window = editorWindow();
    ASSERT_NE(window, 0u);
    const auto view = probe.children(window);
    const X11Probe::Geometry outer = probe.geometry(window), inner = probe.geometry(view[0]);
    EXPECT_GT(outer.width, 100u);
    EXPECT_EQ(std::make_pair(outer.width, outer.height), std::make_pair(inner.width, inner.height)) << "the view fills it";
    // The plug-in draws its user interface only while the main loop pumps it.
    EXPECT_TRUE(waitFor([&] { return probe.screenshotColours(window) > 16; }, 10s)) << probe.screenshotColours(window);
    ASSERT_TRUE(open()) << "again: the same window with the same view (the views: SlotEditorTests.cpp)";
    EXPECT_EQ(probe.topLevelsNamed("Amp"), std::vector<unsigned long>{window});
    probe.sendProtocol(window); // the window manager's close button
    // The turn that answers a ping may have pumped just before the message came; the next one has seen it.
    engine.request({{"cmd", "ping"}});
    EXPECT_EQ(json({status()["editorOpen"], status()["loaded"]}), json({false, true}));
    EXPECT_TRUE(noWindow());
    ASSERT_TRUE(open());
    ASSERT_NE(editorWindow(), 0u);
    EXPECT_EQ(engine.quit(), 0);
    EXPECT_TRUE(noWindow()) << "the window goes with the process";
}

// Our view edits the gain to 0.25 (half of unity) from its timer, which only
// the engine's main loop drives; the edit is heard, and stays after the
// editor closes and an unload closes it first.
TEST_F(EditorProcess, AnEditInTheEditorIsHeardInTheOutput) {
    ASSERT_TRUE(ok({{"cmd", "open"}}));
    JackPeer peer(JackServer::shared().name());
    ASSERT_TRUE(peer.connectToEngine()) << peer.error();
    peer.setSine(0, 220.0f, 0.3f);
    ASSERT_TRUE(load(testBundle("CorvenaEditor")));
    auto level = [&] { return peakOf(peer.capture(4800).at(0)); };
    const float unity = level();
    EXPECT_NEAR(unity, 0.24f, 0.002f) << "0.3 at the monitor's 0.8";
    ASSERT_TRUE(open());
    EXPECT_TRUE(waitFor([&] { return level() < 0.75f * unity; }, 10s));
    EXPECT_NEAR(level() / unity, 0.5f, 0.01f);
    ASSERT_TRUE(open(false));
    EXPECT_NEAR(level() / unity, 0.5f, 0.01f);
    ASSERT_TRUE(open());
    EXPECT_TRUE(ok({{"cmd", "vstUnload"}}));
    EXPECT_TRUE(noWindow());
    EXPECT_EQ(status()["editorOpen"], false);
    EXPECT_EQ(engine.quit(), 0);
}
