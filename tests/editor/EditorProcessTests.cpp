// The editor through the real engine process, with ZamComp's own editor, under Xvfb.
#include "plugin/TestPlugins.h" // tests/plugin
#include "support/EngineProcess.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using corvena::test::EngineProcess;
using corvena::test::testBundle;
using corvena::test::waitFor;
using corvena::test::X11Probe;
using json = nlohmann::json;
using namespace std::chrono_literals;

static auto* const xvfb = ::testing::AddGlobalTestEnvironment(new corvena::test::XvfbEnvironment);

namespace {

const std::string kZamComp = "/usr/lib/vst3/ZamComp.vst3";

class EditorProcess : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(engine.readLine()); }
    void TearDown() override {
        engine.send(R"({"id":998,"cmd":"vstUnload"})");
        engine.send(R"({"id":999,"cmd":"quit"})");
        EXPECT_EQ(engine.wait(10s), 0) << engine.stderrText();
        EXPECT_TRUE(noWindow()); // the window goes with the process
    }
    json ask(const std::string& line) { return json::parse(engine.request(line)); }
    bool ok(const std::string& line) { return ask(line)["ok"] == true; }
    bool load(const std::string& path) { return ok(R"({"id":1,"cmd":"vstLoad","path":")" + path + R"("})"); }
    bool open() { return ok(R"({"id":2,"cmd":"vstEditor"})"); }
    bool close() { return ok(R"({"id":3,"cmd":"vstEditor","open":false})"); }
    json status() { return ask(R"({"id":4,"cmd":"vstStatus"})"); }
    bool noWindow() {
        return waitFor([&] { return probe.topLevelsNamed("Amp").empty(); });
    }
    // The one editor window, once it is shown with the plug-in's view inside.
    unsigned long editorWindow() {
        unsigned long found = 0;
        waitFor([&] {
            auto windows = probe.topLevelsNamed("Amp");
            if (windows.size() != 1 || !probe.geometry(windows[0]).viewable || probe.children(windows[0]).size() != 1)
                return false;
            found = windows[0];
            return true;
        });
        return found;
    }
    EngineProcess engine;
    X11Probe probe;
};

} // namespace

TEST_F(EditorProcess, ZamCompEditorOpensOnceAndClosesOnADeleteRequest) {
    ASSERT_TRUE(load(kZamComp));
    EXPECT_EQ(status()["editorOpen"], false);
    ASSERT_TRUE(open());
    unsigned long window = editorWindow();
    ASSERT_NE(window, 0u);
    auto view = probe.children(window);
    // The client area is exactly the view's size: the embedded view fills it.
    X11Probe::Geometry outer = probe.geometry(window), inner = probe.geometry(view[0]);
    EXPECT_GT(outer.width, 100u);
    EXPECT_EQ(outer.width, inner.width);
    EXPECT_EQ(outer.height, inner.height);
    EXPECT_EQ(status()["editorOpen"], true);
    // The plug-in draws its own user interface only while the main loop pumps it.
    EXPECT_TRUE(waitFor([&] { return probe.screenshotColours(window) > 16; }, 10s))
        << "colours: " << probe.screenshotColours(window);

    ASSERT_TRUE(open()); // the same window with the same view
    EXPECT_EQ(probe.topLevelsNamed("Amp"), std::vector<unsigned long>{window});
    EXPECT_EQ(probe.children(window), view);
    EXPECT_EQ(status()["editorOpen"], true);

    probe.sendProtocol(window);
    // The turn that handles `ping` may have pumped just before the request came;
    // the turn after it has certainly seen it.
    ask(R"({"id":5,"cmd":"ping"})");
    json s = status();
    EXPECT_EQ(s["editorOpen"], false);
    EXPECT_EQ(s["loaded"], true);
    EXPECT_TRUE(noWindow()); // (a new view on reopening: editor_slot_tests)
}

TEST_F(EditorProcess, LoadAndUnloadCloseTheEditorFirst) {
    EXPECT_TRUE(close()); // nothing loaded
    ASSERT_TRUE(load(kZamComp));
    EXPECT_TRUE(close()); // nothing open
    ASSERT_TRUE(open());
    ASSERT_NE(editorWindow(), 0u);
    EXPECT_TRUE(load("/usr/lib/vst3/ZamGate.vst3"));
    json s = status();
    EXPECT_EQ(s["editorOpen"], false);
    EXPECT_EQ(s["loaded"], true);
    EXPECT_TRUE(noWindow());

    ASSERT_TRUE(open()); // the new plug-in's editor
    ASSERT_NE(editorWindow(), 0u);
    EXPECT_TRUE(close());
    EXPECT_TRUE(noWindow());
    ASSERT_TRUE(open());
    ASSERT_NE(editorWindow(), 0u);
    EXPECT_TRUE(ok(R"({"id":6,"cmd":"vstUnload"})"));
    EXPECT_EQ(status()["editorOpen"], false);
    EXPECT_TRUE(noWindow());
}

TEST_F(EditorProcess, OwnViewsRunOnTheMainLoopAndSizeTheirWindow) {
    ASSERT_TRUE(load(testBundle("CorvenaEditor")));
    ASSERT_TRUE(open());
    auto windows = probe.topLevelsNamed("Amp");
    ASSERT_EQ(windows.size(), 1u);
    X11Probe::Geometry first = probe.geometry(windows[0]), now;
    // The view asks for 480 x 360 only after its timer and its descriptor handler
    // have each fired three times: both run while the engine's main loop turns.
    EXPECT_TRUE(waitFor([&] {
        now = probe.geometry(windows[0]);
        return now.width == 480u && now.height == 360u;
    })) << now.width << " x " << now.height;
    EXPECT_EQ(now.x, first.x);
    EXPECT_EQ(now.y, first.y);

    // A view reporting a zero size gets a 400 x 300 window.
    ASSERT_TRUE(load(testBundle("CorvenaEditorZeroSize")));
    ASSERT_TRUE(noWindow());
    ASSERT_TRUE(open());
    windows = probe.topLevelsNamed("Amp");
    ASSERT_EQ(windows.size(), 1u);
    now = probe.geometry(windows[0]);
    EXPECT_EQ(now.width, 400u);
    EXPECT_EQ(now.height, 300u);
}
