// The editor through the real engine process, with ZamComp's own editor, under Xvfb.
#include "plugin/TestPlugins.h" // tests/plugin
#include "support/EngineProcess.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

using corvena::test::EngineProcess;
using corvena::test::X11Probe;
using json = nlohmann::json;
using namespace std::chrono_literals;

static auto* const xvfb = ::testing::AddGlobalTestEnvironment(new corvena::test::XvfbEnvironment);

namespace {

const std::string kZamComp = "/usr/lib/vst3/ZamComp.vst3";
const std::string kZamGate = "/usr/lib/vst3/ZamGate.vst3";

json ask(EngineProcess& engine, const std::string& line) {
    std::string reply = engine.request(line);
    return json::parse(reply);
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

class EditorProcess : public ::testing::Test {
protected:
    void SetUp() override {
        engine = std::make_unique<EngineProcess>();
        ASSERT_TRUE(engine->readLine());
    }
    void TearDown() override {
        engine->send(R"({"id":998,"cmd":"vstUnload"})");
        engine->send(R"({"id":999,"cmd":"quit"})");
        EXPECT_EQ(engine->wait(10s), 0) << engine->stderrText();
        // The window goes with the process.
        EXPECT_TRUE(waitFor([&] { return probe.topLevelsNamed("Amp").empty(); }));
    }
    json status() { return ask(*engine, R"({"id":50,"cmd":"vstStatus"})"); }
    // The one editor window, once it is shown with the plug-in's view inside.
    unsigned long editorWindow() {
        unsigned long found = 0;
        waitFor([&] {
            auto windows = probe.topLevelsNamed("Amp");
            if (windows.size() != 1 || !probe.viewable(windows[0]) || probe.children(windows[0]).empty())
                return false;
            found = windows[0];
            return true;
        });
        return found;
    }
    std::unique_ptr<EngineProcess> engine;
    X11Probe probe;
};

} // namespace

TEST_F(EditorProcess, ZamCompEditorOpensOnceWithItsOwnUiAndReportsOpen) {
    ASSERT_EQ(ask(*engine, R"({"id":1,"cmd":"vstLoad","path":")" + kZamComp + R"("})")["ok"], true);
    EXPECT_EQ(status()["editorOpen"], false);
    json reply = ask(*engine, R"({"id":2,"cmd":"vstEditor","open":true})");
    ASSERT_EQ(reply, json::parse(R"({"id":2,"ok":true})"));

    unsigned long window = editorWindow();
    ASSERT_NE(window, 0u);
    auto kids = probe.children(window);
    ASSERT_EQ(kids.size(), 1u);
    // The client area is exactly the view's size: the embedded view fills it.
    X11Probe::Geometry outer = probe.geometry(window);
    X11Probe::Geometry view = probe.geometry(kids[0]);
    EXPECT_GT(outer.width, 100u);
    EXPECT_EQ(outer.width, view.width);
    EXPECT_EQ(outer.height, view.height);
    EXPECT_EQ(status()["editorOpen"], true);

    // The plug-in draws its own user interface only while the main loop pumps it.
    EXPECT_TRUE(waitFor([&] { return probe.screenshotColours(window) > 16; }, 10s))
        << "colours: " << probe.screenshotColours(window);

    // A second open shows the same window with the same view.
    EXPECT_EQ(ask(*engine, R"({"id":3,"cmd":"vstEditor"})"), json::parse(R"({"id":3,"ok":true})"));
    EXPECT_EQ(probe.topLevelsNamed("Amp"), std::vector<unsigned long>{window});
    EXPECT_EQ(probe.children(window), kids);
    EXPECT_EQ(status()["editorOpen"], true);
}

TEST_F(EditorProcess, DeleteRequestClosesWithinOneTurnAndReopenMakesANewView) {
    ASSERT_EQ(ask(*engine, R"({"id":1,"cmd":"vstLoad","path":")" + kZamComp + R"("})")["ok"], true);
    ASSERT_EQ(ask(*engine, R"({"id":2,"cmd":"vstEditor"})")["ok"], true);
    unsigned long first = editorWindow();
    ASSERT_NE(first, 0u);

    probe.sendDeleteRequest(first);
    // The turn that handles `ping` may have pumped just before the request arrived;
    // the turn after it has certainly seen it.
    ask(*engine, R"({"id":3,"cmd":"ping"})");
    json s = status();
    EXPECT_EQ(s["editorOpen"], false);
    EXPECT_EQ(s["loaded"], true); // closing the editor leaves the plug-in alone
    EXPECT_TRUE(waitFor([&] { return probe.topLevelsNamed("Amp").empty(); }));

    ASSERT_EQ(ask(*engine, R"({"id":4,"cmd":"vstEditor","open":true})")["ok"], true);
    // (X reuses the ids of a closed connection, so ids cannot tell the views apart.)
    unsigned long second = editorWindow();
    ASSERT_NE(second, 0u);
    ASSERT_EQ(probe.children(second).size(), 1u);
    EXPECT_EQ(status()["editorOpen"], true);
}

TEST_F(EditorProcess, UnloadAndLoadCloseTheEditorFirst) {
    ASSERT_EQ(ask(*engine, R"({"id":1,"cmd":"vstLoad","path":")" + kZamComp + R"("})")["ok"], true);
    ASSERT_EQ(ask(*engine, R"({"id":2,"cmd":"vstEditor"})")["ok"], true);
    ASSERT_NE(editorWindow(), 0u);
    EXPECT_EQ(ask(*engine, R"({"id":3,"cmd":"vstUnload"})"), json::parse(R"({"id":3,"ok":true})"));
    EXPECT_EQ(status()["editorOpen"], false);
    EXPECT_TRUE(waitFor([&] { return probe.topLevelsNamed("Amp").empty(); }));

    ASSERT_EQ(ask(*engine, R"({"id":4,"cmd":"vstLoad","path":")" + kZamComp + R"("})")["ok"], true);
    ASSERT_EQ(ask(*engine, R"({"id":5,"cmd":"vstEditor"})")["ok"], true);
    ASSERT_NE(editorWindow(), 0u);
    // Loading another plug-in over an open editor.
    json loaded = ask(*engine, R"({"id":6,"cmd":"vstLoad","path":")" + kZamGate + R"("})");
    EXPECT_EQ(loaded["ok"], true) << loaded.dump();
    json s = status();
    EXPECT_EQ(s["editorOpen"], false);
    EXPECT_EQ(s["loaded"], true);
    EXPECT_TRUE(waitFor([&] { return probe.topLevelsNamed("Amp").empty(); }));
    // The new plug-in's editor opens normally.
    ASSERT_EQ(ask(*engine, R"({"id":7,"cmd":"vstEditor"})")["ok"], true);
    EXPECT_NE(editorWindow(), 0u);
}

TEST_F(EditorProcess, ClosingWhatIsNotOpenAndOpeningWithoutPlugin) {
    EXPECT_EQ(ask(*engine, R"({"id":1,"cmd":"vstEditor","open":false})"), json::parse(R"({"id":1,"ok":true})"));
    EXPECT_EQ(ask(*engine, R"({"id":2,"cmd":"vstEditor","open":true})"),
              json::parse(R"({"error":"no plugin loaded","id":2,"ok":false})"));
    ASSERT_EQ(ask(*engine, R"({"id":3,"cmd":"vstLoad","path":")" + kZamComp + R"("})")["ok"], true);
    EXPECT_EQ(ask(*engine, R"({"id":4,"cmd":"vstEditor","open":false})"), json::parse(R"({"id":4,"ok":true})"));
    EXPECT_EQ(status()["editorOpen"], false);
    EXPECT_TRUE(probe.topLevelsNamed("Amp").empty());
    // Open, then close on request.
    ASSERT_EQ(ask(*engine, R"({"id":5,"cmd":"vstEditor"})")["ok"], true);
    ASSERT_NE(editorWindow(), 0u);
    EXPECT_EQ(ask(*engine, R"({"id":6,"cmd":"vstEditor","open":false})"), json::parse(R"({"id":6,"ok":true})"));
    EXPECT_EQ(status()["editorOpen"], false);
    EXPECT_TRUE(waitFor([&] { return probe.topLevelsNamed("Amp").empty(); }));
}

TEST_F(EditorProcess, OwnViewRunsOnTheMainLoopAndResizesItsWindow) {
    const std::string path = corvena::test::testBundle("CorvenaEditor");
    ASSERT_EQ(ask(*engine, R"({"id":1,"cmd":"vstLoad","path":")" + path + R"("})")["ok"], true);
    ASSERT_EQ(ask(*engine, R"({"id":2,"cmd":"vstEditor"})")["ok"], true);
    auto windows = probe.topLevelsNamed("Amp");
    ASSERT_EQ(windows.size(), 1u);
    X11Probe::Geometry first = probe.geometry(windows[0]);
    // The view asks for 480 x 360 only after its timer and its descriptor handler
    // have each fired three times: both run while the engine's main loop turns.
    EXPECT_TRUE(waitFor([&] {
        X11Probe::Geometry g = probe.geometry(windows[0]);
        return g.width == 480u && g.height == 360u;
    })) << probe.geometry(windows[0]).width << " x " << probe.geometry(windows[0]).height;
    X11Probe::Geometry after = probe.geometry(windows[0]);
    EXPECT_EQ(after.x, first.x);
    EXPECT_EQ(after.y, first.y);
    EXPECT_EQ(status()["editorOpen"], true);
}

TEST_F(EditorProcess, OwnViewsThatCannotBeShown) {
    using corvena::test::testBundle;
    ASSERT_EQ(ask(*engine, R"({"id":1,"cmd":"vstLoad","path":")" + testBundle("CorvenaEditorZeroSize") + R"("})")["ok"],
              true);
    ASSERT_EQ(ask(*engine, R"({"id":2,"cmd":"vstEditor"})")["ok"], true);
    auto windows = probe.topLevelsNamed("Amp");
    ASSERT_EQ(windows.size(), 1u);
    X11Probe::Geometry g = probe.geometry(windows[0]);
    EXPECT_EQ(g.width, 400u);
    EXPECT_EQ(g.height, 300u);

    EXPECT_EQ(ask(*engine, R"({"id":3,"cmd":"vstLoad","path":")" + testBundle("CorvenaEditorRefuseAttach") + R"("})")["ok"],
              true);
    EXPECT_EQ(ask(*engine, R"({"id":4,"cmd":"vstEditor"})"),
              json::parse(R"({"error":"the plugin refused to attach its editor","id":4,"ok":false})"));
    EXPECT_EQ(status()["editorOpen"], false);
    EXPECT_TRUE(waitFor([&] { return probe.topLevelsNamed("Amp").empty(); }));

    EXPECT_EQ(ask(*engine, R"({"id":5,"cmd":"vstLoad","path":")" + testBundle("CorvenaEditorNoX11") + R"("})")["ok"],
              true);
    EXPECT_EQ(ask(*engine, R"({"id":6,"cmd":"vstEditor"})"),
              json::parse(R"({"error":"this plugin has no editor","id":6,"ok":false})"));
    json s = status();
    EXPECT_EQ(s["editorOpen"], false);
    EXPECT_EQ(s["loaded"], true);
    EXPECT_TRUE(probe.topLevelsNamed("Amp").empty());
}

TEST(EditorProcessNoDisplay, OpenFailsAndNothingElseChanges) {
    std::string saved = getenv("DISPLAY") ? getenv("DISPLAY") : "";
    unsetenv("DISPLAY");
    EngineProcess engine; // takes its environment now
    setenv("DISPLAY", saved.c_str(), 1);
    ASSERT_TRUE(engine.readLine());
    ASSERT_EQ(ask(engine, R"({"id":1,"cmd":"vstLoad","path":")" + kZamComp + R"("})")["ok"], true);
    json before = ask(engine, R"({"id":2,"cmd":"vstStatus"})");
    EXPECT_EQ(ask(engine, R"({"id":3,"cmd":"vstEditor"})"),
              json::parse(R"({"error":"could not create the editor window","id":3,"ok":false})"));
    json after = ask(engine, R"({"id":2,"cmd":"vstStatus"})");
    EXPECT_EQ(after, before);
    EXPECT_EQ(after["editorOpen"], false);
    EXPECT_EQ(after["loaded"], true);
    // And it can still be asked again, and unloaded.
    EXPECT_EQ(ask(engine, R"({"id":4,"cmd":"vstEditor"})")["error"], "could not create the editor window");
    EXPECT_EQ(ask(engine, R"({"id":5,"cmd":"vstUnload"})")["ok"], true);
    engine.send(R"({"id":6,"cmd":"quit"})");
    EXPECT_EQ(engine.wait(10s), 0);
}
