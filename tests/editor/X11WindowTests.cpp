// The Linux editor window, inspected through a display connection of the test's own.
#include "plugin/PlatformWindow.h"
#include "XvfbServer.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

using corvena::PlatformWindow;
using corvena::test::X11Probe;

static auto* const xvfb = ::testing::AddGlobalTestEnvironment(new corvena::test::XvfbEnvironment);

namespace {

Window idOf(const PlatformWindow& w) { return static_cast<Window>(reinterpret_cast<uintptr_t>(w.nativeHandle())); }

std::unique_ptr<PlatformWindow> create(int w, int h) {
    std::string error;
    auto window = PlatformWindow::create(w, h, error);
    EXPECT_TRUE(window) << error;
    return window;
}

void expectFixedSize(Display* d, Window w, int width, int height) {
    // Window managers offer no sizing when minimum and maximum are the same.
    XSizeHints h{};
    long supplied = 0;
    XGetWMNormalHints(d, w, &h, &supplied);
    EXPECT_TRUE((h.flags & PMinSize) && (h.flags & PMaxSize));
    EXPECT_EQ(h.min_width, width);
    EXPECT_EQ(h.max_width, width);
    EXPECT_EQ(h.min_height, height);
    EXPECT_EQ(h.max_height, height);
}

} // namespace

TEST(X11WindowTest, FixedSizeTopLevelTitledAmpResizedInPlace) {
    X11Probe probe;
    Display* d = probe.display();
    auto window = create(320, 200);
    ASSERT_TRUE(window);
    EXPECT_STREQ(PlatformWindow::platformType(), "X11EmbedWindowID");
    Window id = idOf(*window);
    ASSERT_NE(id, 0u);
    X11Probe::Geometry g = probe.geometry(id);
    EXPECT_EQ(g.width, 320u);
    EXPECT_EQ(g.height, 200u);
    EXPECT_FALSE(probe.viewable(id));
    expectFixedSize(d, id, 320, 200);

    char* name = nullptr;
    ASSERT_TRUE(XFetchName(d, id, &name));
    EXPECT_STREQ(name, "Amp");
    XFree(name);
    auto tops = probe.children(DefaultRootWindow(d));
    EXPECT_NE(std::find(tops.begin(), tops.end(), id), tops.end());

    // The close button must reach us as a message, not as a destroyed window.
    Atom* protocols = nullptr;
    int count = 0;
    ASSERT_TRUE(XGetWMProtocols(d, id, &protocols, &count));
    Atom del = XInternAtom(d, "WM_DELETE_WINDOW", False);
    EXPECT_NE(std::find(protocols, protocols + count, del), protocols + count);
    XFree(protocols);

    window->show();
    EXPECT_TRUE(probe.viewable(id));
    // Moved away from the origin first, as a user or window manager might.
    XMoveWindow(d, id, 137, 91);
    X11Probe::Geometry before = probe.geometry(id);
    ASSERT_EQ(before.x, 137);
    window->resize(640, 123);
    X11Probe::Geometry after = probe.geometry(id);
    EXPECT_EQ(after.width, 640u);
    EXPECT_EQ(after.height, 123u);
    EXPECT_EQ(after.x, before.x);
    EXPECT_EQ(after.y, before.y);
    expectFixedSize(d, id, 640, 123);
}

TEST(X11WindowTest, DegenerateSizesDoNotEndTheProcess) {
    // X treats a zero size as a protocol error, which Xlib's default handler
    // answers by exiting; the window keeps the smallest legal size instead.
    X11Probe probe;
    auto window = create(0, -20);
    ASSERT_TRUE(window);
    X11Probe::Geometry g = probe.geometry(idOf(*window));
    EXPECT_EQ(g.width, 1u);
    EXPECT_EQ(g.height, 1u);
    window->resize(-1, 0);
    window->resize(100000, 40);
    g = probe.geometry(idOf(*window));
    EXPECT_EQ(g.width, 32767u);
    EXPECT_EQ(g.height, 40u);
}

TEST(X11WindowTest, DeleteRequestSetsCloseRequestedAndKeepsTheWindow) {
    X11Probe probe;
    auto window = create(200, 100);
    ASSERT_TRUE(window);
    Window id = idOf(*window);
    window->show();
    window->pumpEvents(); // nothing pending: returns at once
    probe.sendProtocol(id, "WM_TAKE_FOCUS"); // not a close request
    window->pumpEvents();
    EXPECT_FALSE(window->closeRequested());

    probe.sendProtocol(id);
    window->pumpEvents();
    window->pumpEvents();
    EXPECT_TRUE(window->closeRequested()); // and it stays set
    EXPECT_TRUE(probe.viewable(id));       // the window stays until destroyed
    window.reset();
    EXPECT_EQ(probe.geometry(id).width, 0u); // destroyed with its owner
}

TEST(X11WindowNoDisplay, CreateFailsWithTheMessage) {
    std::string saved = getenv("DISPLAY");
    std::string error;
    unsetenv("DISPLAY");
    EXPECT_FALSE(PlatformWindow::create(300, 200, error));
    EXPECT_EQ(error, "could not create the editor window");
    setenv("DISPLAY", ":65000", 1); // a display nobody serves
    error.clear();
    EXPECT_FALSE(PlatformWindow::create(300, 200, error));
    EXPECT_EQ(error, "could not create the editor window");
    setenv("DISPLAY", saved.c_str(), 1);
}
