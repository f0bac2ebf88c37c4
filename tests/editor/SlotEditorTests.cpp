// The slot's editor in this process, with the project's own editor views (which
// report what they saw through their probe), in our top-level window as the
// desktop sees it: under the test binary's Xvfb on Linux, under Wine on Windows.
#include <gtest/gtest.h>

#include "plugin/PluginSlot.h"
#include "support/Desktop.h"
#include "support/TestPlugins.h"

#include <pluginterfaces/base/funknown.h>

#include <cstdlib>
#include <tuple>

using namespace corvena;
using namespace corvena::test;
using namespace std::chrono_literals;

namespace {

class SlotEditor : public ::testing::Test {
protected:
    void load(const std::string& name) { ASSERT_TRUE(slot.load(testBundle(name), error)) << error; }
    std::string openError(const std::string& name) {
        load(name);
        EXPECT_FALSE(slot.openEditor(error));
        EXPECT_FALSE(slot.isEditorOpen());
        EXPECT_TRUE(slot.isReady()) << "the plug-in itself is unaffected";
        return error;
    }
    PluginSlot slot;
    DesktopProbe probe;
    std::string error;
};

} // namespace

TEST_F(SlotEditor, ViewGetsTheRunLoopResizesItsWindowAndClosesFirst) {
    ProbeHandle p("CorvenaEditor");
    load("CorvenaEditor");
    ASSERT_TRUE(slot.openEditor(error)) << error;
    EXPECT_TRUE(slot.isEditorOpen() && p->viewHasFrame) << "the frame came before attached";
    auto windows = probe.topLevelsNamed("Amp");
    ASSERT_EQ(windows.size(), 1u);
    const auto window = windows[0];
    EXPECT_EQ(p->viewParent, window) << "attached to our window, by its native handle";
    const DesktopProbe::Geometry g = probe.geometry(window);
    EXPECT_EQ(std::make_tuple(g.width, g.height, g.viewable), std::make_tuple(320u, 240u, true));

    // Nothing runs between pumps: the view's timer only fires while we pump.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(p->viewTimerTicks, 0);
    // The view asks for 480 x 360 once its timer and its descriptor handler have each fired three times.
    ASSERT_TRUE(waitFor([&] { // pumping as the main loop does
        slot.pumpEditor();
        return p->viewResizeResult != -1;
    }))
        << "ticks " << p->viewTimerTicks << ", fd events " << p->viewFdEvents;
    EXPECT_GE(p->viewFdEvents, 3);
    EXPECT_EQ(p->viewResizeResult, Steinberg::kResultOk);
    const DesktopProbe::Geometry resized = probe.geometry(window);
    EXPECT_EQ(std::make_tuple(resized.width, resized.height, resized.x, resized.y), std::make_tuple(480u, 360u, g.x, g.y))
        << "resized in place";
    EXPECT_EQ(std::make_pair(p->viewWidth.load(), p->viewHeight.load()), std::make_pair(480, 360)) << "the view was told";
    ASSERT_TRUE(slot.openEditor(error));
    EXPECT_EQ(std::make_pair(p->viewsCreated.load(), p->viewAttached.load()), std::make_pair(1, 1)) << "no other view";

    // Closed by the window's close button, by an unload, by the slot's end:
    // each time the view removed and released, the window gone.
    auto closedBy = [&](int n, const std::function<void()>& close) {
        close();
        EXPECT_FALSE(slot.isEditorOpen() || p->viewHasFrame) << n;
        EXPECT_EQ(std::make_tuple(p->viewsCreated.load(), p->viewRemoved.load(), p->viewsAlive.load()), std::make_tuple(n, n, 0));
        EXPECT_TRUE(probe.topLevelsNamed("Amp").empty()) << n;
    };
    closedBy(1, [&] { probe.sendProtocol(window), slot.pumpEditor(); });
    ASSERT_TRUE(slot.openEditor(error)) << error;
    closedBy(2, [&] { slot.unload(); });
    closedBy(3, [&] {
        PluginSlot other;
        ASSERT_TRUE(other.load(testBundle("CorvenaEditor"), error) && other.openEditor(error)) << error;
    });

    // A view that knows its size only once attached (LSP's do) gets it without
    // asking; one that reports no size gets a 400 x 300 window.
    for (const auto& [name, width, height] : {std::make_tuple("CorvenaEditorLateSize", 520u, 390u),
                                              std::make_tuple("CorvenaEditorZeroSize", 400u, 300u)}) {
        load(name);
        ASSERT_TRUE(slot.openEditor(error)) << error;
        windows = probe.topLevelsNamed("Amp");
        ASSERT_EQ(windows.size(), 1u) << name;
        EXPECT_EQ(std::make_pair(probe.geometry(windows[0]).width, probe.geometry(windows[0]).height), std::make_pair(width, height))
            << name;
    }
}

TEST_F(SlotEditor, EditorsWeCannotShow) {
    ProbeHandle refuse("CorvenaEditorRefuseAttach"), noX11("CorvenaEditorNoX11"), editor("CorvenaEditor");
    EXPECT_EQ(openError("CorvenaEditorRefuseAttach"), "the plugin refused to attach its editor");
    // What it registered before refusing went with the frame: no reference
    // cycle through the run loop keeps the view.
    EXPECT_EQ(std::make_tuple(refuse->viewAttached.load(), refuse->viewHasFrame.load(), refuse->viewsAlive.load()), std::make_tuple(1, false, 0));
    EXPECT_TRUE(probe.topLevelsNamed("Amp").empty());
    EXPECT_EQ(openError("CorvenaEditorNoX11"), "this plugin has no editor"); // a view, but not for this platform
    EXPECT_EQ(std::make_tuple(noX11->viewsCreated.load(), noX11->viewsAlive.load(), noX11->viewAttached.load()), std::make_tuple(1, 0, 0));
#ifndef _WIN32
    const std::string display = getenv("DISPLAY");
    unsetenv("DISPLAY");
    EXPECT_EQ(openError("CorvenaEditor"), "could not create the editor window");
    setenv("DISPLAY", display.c_str(), 1);
    EXPECT_EQ(editor->viewsAlive, 0);
#endif
    EXPECT_EQ(openError("CorvenaGain"), "this plugin has no editor"); // no view at all
}
