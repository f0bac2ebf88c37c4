// The slot's editor operations in this process, with the project's own editor
// views (which report what they saw through their probe), under Xvfb.
#include "plugin/PluginSlot.h"
#include "plugin/TestPlugins.h" // tests/plugin
#include "XvfbServer.h"

#include <gtest/gtest.h>
#include <pluginterfaces/base/funknown.h>

#include <chrono>
#include <functional>
#include <thread>

using corvena::PluginSlot;
using corvena::test::ProbeHandle;
using corvena::test::testBundle;
using corvena::test::X11Probe;
using namespace std::chrono_literals;

static auto* const xvfb = ::testing::AddGlobalTestEnvironment(new corvena::test::XvfbEnvironment);

namespace {

class SlotEditor : public ::testing::Test {
protected:
    void load(const std::string& name) {
        std::string error;
        ASSERT_TRUE(slot.load(testBundle(name), error)) << error;
    }
    // Runs the editor pump as the main loop does (every 5 ms) until `done` or the limit.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 3s) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            slot.pumpEditor();
            if (done()) return true;
            std::this_thread::sleep_for(5ms);
        }
        return done();
    }
    unsigned long onlyAmpWindow() {
        auto windows = probe.topLevelsNamed("Amp");
        return windows.size() == 1 ? windows[0] : 0;
    }
    PluginSlot slot;
    X11Probe probe;
};

} // namespace

TEST_F(SlotEditor, ViewGetsTheRunLoopAndItsResizeRequestSizesTheWindow) {
    ProbeHandle p("CorvenaEditor");
    load("CorvenaEditor");
    std::string error;
    ASSERT_TRUE(slot.openEditor(error)) << error;
    EXPECT_TRUE(slot.isEditorOpen());
    EXPECT_EQ(p->viewsCreated, 1);
    EXPECT_TRUE(p->viewHasFrame); // the frame came before attached
    unsigned long window = onlyAmpWindow();
    ASSERT_NE(window, 0u);
    EXPECT_EQ(p->viewParent, window); // attached to our window, by its X id
    X11Probe::Geometry before = probe.geometry(window);
    EXPECT_EQ(before.width, 320u);
    EXPECT_EQ(before.height, 240u);
    EXPECT_TRUE(probe.viewable(window));

    // Nothing runs between pumps: the view's timer only fires while we pump.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(p->viewTimerTicks, 0);

    ASSERT_TRUE(pumpUntil([&] { return p->viewResizeResult != -1; }))
        << "ticks " << p->viewTimerTicks << ", fd events " << p->viewFdEvents;
    EXPECT_GE(p->viewFdEvents, 3);
    EXPECT_EQ(p->viewResizeResult, Steinberg::kResultOk);
    X11Probe::Geometry after = probe.geometry(window);
    EXPECT_EQ(after.width, 480u);
    EXPECT_EQ(after.height, 360u);
    EXPECT_EQ(after.x, before.x);
    EXPECT_EQ(after.y, before.y);
    EXPECT_EQ(p->viewWidth, 480); // and the view was told its new size
    EXPECT_EQ(p->viewHeight, 360);

    // A second open neither creates nor attaches another view.
    ASSERT_TRUE(slot.openEditor(error));
    EXPECT_EQ(p->viewsCreated, 1);
    EXPECT_EQ(p->viewAttached, 1);

    slot.closeEditor();
    EXPECT_FALSE(slot.isEditorOpen());
    EXPECT_EQ(p->viewRemoved, 1);
    EXPECT_FALSE(p->viewHasFrame);
    EXPECT_EQ(p->viewsAlive, 0);
    EXPECT_TRUE(probe.topLevelsNamed("Amp").empty());
    int ticks = p->viewTimerTicks;
    slot.closeEditor(); // closing again does nothing
    pumpUntil([] { return false; }, 50ms);
    EXPECT_EQ(p->viewTimerTicks, ticks);
}

TEST_F(SlotEditor, CloseRequestFromTheWindowManagerClosesOnTheNextPump) {
    ProbeHandle p("CorvenaEditor");
    load("CorvenaEditor");
    std::string error;
    ASSERT_TRUE(slot.openEditor(error)) << error;
    unsigned long window = onlyAmpWindow();
    ASSERT_NE(window, 0u);
    probe.sendDeleteRequest(window);
    slot.pumpEditor();
    EXPECT_FALSE(slot.isEditorOpen());
    EXPECT_EQ(p->viewRemoved, 1);
    EXPECT_EQ(p->viewsAlive, 0);
    // Opening again makes a new view.
    ASSERT_TRUE(slot.openEditor(error)) << error;
    EXPECT_EQ(p->viewsCreated, 2);
    EXPECT_EQ(p->viewsAlive, 1);
    // Unloading closes it first.
    slot.unload();
    EXPECT_FALSE(slot.isEditorOpen());
    EXPECT_EQ(p->viewRemoved, 2);
    EXPECT_EQ(p->viewsAlive, 0);
    EXPECT_TRUE(probe.topLevelsNamed("Amp").empty());
}

TEST_F(SlotEditor, RefusedAttachLeavesNothingHeld) {
    ProbeHandle p("CorvenaEditorRefuseAttach");
    load("CorvenaEditorRefuseAttach");
    std::string error;
    EXPECT_FALSE(slot.openEditor(error));
    EXPECT_EQ(error, "the plugin refused to attach its editor");
    EXPECT_FALSE(slot.isEditorOpen());
    EXPECT_EQ(p->viewAttached, 1);
    EXPECT_FALSE(p->viewHasFrame);
    // The timer and handler it registered before refusing were dropped with the
    // frame, so the view is gone (no reference cycle through the run loop).
    EXPECT_EQ(p->viewsAlive, 0);
    EXPECT_TRUE(probe.topLevelsNamed("Amp").empty());
    pumpUntil([] { return false; }, 50ms);
    EXPECT_EQ(p->viewTimerTicks, 0);
    EXPECT_TRUE(slot.isReady()); // the plug-in itself is unaffected
}

TEST_F(SlotEditor, PluginsWithoutAnEditorWeCanShow) {
    {
        ProbeHandle p("CorvenaEditorNoX11"); // a view, but not for X11
        load("CorvenaEditorNoX11");
        std::string error;
        EXPECT_FALSE(slot.openEditor(error));
        EXPECT_EQ(error, "this plugin has no editor");
        EXPECT_EQ(p->viewsCreated, 1);
        EXPECT_EQ(p->viewsAlive, 0); // released again at once
        EXPECT_EQ(p->viewAttached, 0);
    }
    {
        ProbeHandle p("CorvenaGain"); // its controller creates no view
        load("CorvenaGain");
        std::string error;
        EXPECT_FALSE(slot.openEditor(error));
        EXPECT_EQ(error, "this plugin has no editor");
    }
    {
        ProbeHandle p("CorvenaNoController");
        load("CorvenaNoController");
        std::string error;
        EXPECT_FALSE(slot.openEditor(error));
        EXPECT_EQ(error, "no plugin loaded");
    }
    slot.unload();
    std::string error;
    EXPECT_FALSE(slot.openEditor(error));
    EXPECT_EQ(error, "no plugin loaded");
    slot.pumpEditor(); // nothing open: nothing to do
    EXPECT_FALSE(slot.isEditorOpen());
}

TEST_F(SlotEditor, DestroyingTheSlotClosesTheEditor) {
    ProbeHandle p("CorvenaEditor");
    {
        PluginSlot other;
        std::string error;
        ASSERT_TRUE(other.load(testBundle("CorvenaEditor"), error)) << error;
        ASSERT_TRUE(other.openEditor(error)) << error;
        EXPECT_EQ(p->viewsAlive, 1);
    }
    EXPECT_EQ(p->viewRemoved, 1);
    EXPECT_EQ(p->viewsAlive, 0);
    EXPECT_TRUE(probe.topLevelsNamed("Amp").empty());
}
