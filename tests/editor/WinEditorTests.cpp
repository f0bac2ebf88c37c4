// The slot's editor on Windows (under Wine with an X server): the test plug-in's
// view in our top-level window, seen through the Win32 API as a user's desktop
// would see it.
#include "plugin/PluginSlot.h"
#include "support/TestPlugins.h"

#include <gtest/gtest.h>
#include <pluginterfaces/base/funknown.h>

#include <windows.h>

#include <chrono>
#include <thread>
#include <utility>

using corvena::PluginSlot;
using corvena::test::ProbeHandle;
using corvena::test::testBundle;

namespace {

HWND editorWindow() { return FindWindowW(L"CorvenaVstEditor", L"Amp"); }

SIZE clientSize(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return {r.right - r.left, r.bottom - r.top};
}

} // namespace

TEST(WinEditor, ViewAttachesToOurWindowWhichFollowsItsSizeAndClosesOnRequest) {
    ProbeHandle p("CorvenaEditor");
    PluginSlot slot;
    std::string error;
    ASSERT_TRUE(slot.load(testBundle("CorvenaEditor"), error)) << error;
    ASSERT_TRUE(slot.openEditor(error)) << error;
    const HWND window = editorWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(p->viewParent, reinterpret_cast<uintptr_t>(window)); // the view's parent is our HWND
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(std::make_pair(clientSize(window).cx, clientSize(window).cy), std::make_pair(320L, 240L));
    RECT before{};
    GetWindowRect(window, &before);

    // The view asks for 480 x 360 after a few of its timer's ticks, which only
    // fire while the main loop pumps.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (p->viewResizeResult == -1 && std::chrono::steady_clock::now() < deadline) {
        slot.pumpEditor();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(p->viewResizeResult, Steinberg::kResultOk);
    EXPECT_EQ(std::make_pair(clientSize(window).cx, clientSize(window).cy), std::make_pair(480L, 360L));
    RECT after{};
    GetWindowRect(window, &after);
    EXPECT_EQ(std::make_pair(after.left, after.top), std::make_pair(before.left, before.top)); // it does not move
    EXPECT_EQ(p->viewWidth, 480);

    PostMessageW(window, WM_CLOSE, 0, 0); // the title bar's close button
    slot.pumpEditor();
    EXPECT_FALSE(slot.isEditorOpen());
    EXPECT_EQ(std::make_pair(p->viewRemoved.load(), p->viewsAlive.load()), std::make_pair(1, 0));
    EXPECT_EQ(editorWindow(), nullptr);

    // Unloading closes an open editor first.
    ASSERT_TRUE(slot.openEditor(error)) << error;
    EXPECT_NE(editorWindow(), nullptr);
    slot.unload();
    EXPECT_EQ(p->viewRemoved, 2);
    EXPECT_EQ(editorWindow(), nullptr);

    // A view that knows its size only once attached gets it without asking.
    ProbeHandle late("CorvenaEditorLateSize");
    ASSERT_TRUE(slot.load(testBundle("CorvenaEditorLateSize"), error)) << error;
    ASSERT_TRUE(slot.openEditor(error)) << error;
    ASSERT_NE(editorWindow(), nullptr);
    EXPECT_EQ(std::make_pair(clientSize(editorWindow()).cx, clientSize(editorWindow()).cy), std::make_pair(520L, 390L));
}

TEST(WinEditor, EditorsWeCannotShow) {
    PluginSlot slot;
    std::string error;
    auto openError = [&](const std::string& name) {
        EXPECT_TRUE(slot.load(testBundle(name), error)) << error;
        std::string e;
        EXPECT_FALSE(slot.openEditor(e));
        EXPECT_FALSE(slot.isEditorOpen());
        EXPECT_EQ(editorWindow(), nullptr);
        EXPECT_TRUE(slot.isReady());
        return e;
    };
    ProbeHandle refuse("CorvenaEditorRefuseAttach");
    EXPECT_EQ(openError("CorvenaEditorRefuseAttach"), "the plugin refused to attach its editor");
    EXPECT_EQ(refuse->viewsAlive, 0);
    ProbeHandle other("CorvenaEditorNoX11"); // a view for another platform
    EXPECT_EQ(openError("CorvenaEditorNoX11"), "this plugin has no editor");
    EXPECT_EQ(other->viewsAlive, 0);
    EXPECT_EQ(openError("CorvenaGain"), "this plugin has no editor");
}
