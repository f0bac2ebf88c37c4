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

// Window managers offer no sizing when minimum and maximum are the same.
void expectFixedSize(Display* d, Window w, int width, int height) {
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

TEST(X11WindowTest, FixedSizeTopLevelTitledAmpResizedInPlaceAndCloseRequested) {
    X11Probe probe;
    Display* d = probe.display();
    std::string error;
    auto window = PlatformWindow::create(320, 200, error);
    ASSERT_TRUE(window) << error;
    EXPECT_STREQ(PlatformWindow::platformType(), "X11EmbedWindowID");
    Window id = idOf(*window);
    X11Probe::Geometry g = probe.geometry(id);
    EXPECT_EQ(g.width, 320u);
    EXPECT_EQ(g.height, 200u);
    EXPECT_FALSE(g.viewable);
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
    XMoveWindow(d, id, 137, 91); // away from the origin, as a user or window manager might
    X11Probe::Geometry before = probe.geometry(id);
    EXPECT_TRUE(before.viewable);
    window->resize(640, 123);
    g = probe.geometry(id);
    EXPECT_EQ(g.width, 640u);
    EXPECT_EQ(g.height, 123u);
    EXPECT_EQ(g.x, before.x);
    EXPECT_EQ(g.y, before.y);
    expectFixedSize(d, id, 640, 123);

    window->pumpEvents(); // nothing pending: returns at once
    probe.sendProtocol(id, "WM_TAKE_FOCUS"); // not a close request
    window->pumpEvents();
    EXPECT_FALSE(window->closeRequested());
    probe.sendProtocol(id);
    window->pumpEvents();
    window->pumpEvents();
    EXPECT_TRUE(window->closeRequested()); // and it stays set
    EXPECT_TRUE(probe.geometry(id).viewable); // the window stays until destroyed
    window.reset();
    EXPECT_EQ(probe.geometry(id).width, 0u); // destroyed with its owner
}

TEST(X11WindowTest, DegenerateSizesDoNotEndTheProcess) {
    // X treats a zero size as a protocol error, which Xlib's default handler
    // answers by exiting; the window keeps the smallest legal size instead.
    X11Probe probe;
    std::string error;
    auto window = PlatformWindow::create(0, -20, error);
    ASSERT_TRUE(window) << error;
    X11Probe::Geometry g = probe.geometry(idOf(*window));
    EXPECT_EQ(g.width, 1u);
    EXPECT_EQ(g.height, 1u);
    window->resize(-1, 0);
    window->resize(100000, 40);
    g = probe.geometry(idOf(*window));
    EXPECT_EQ(g.width, 32767u);
    EXPECT_EQ(g.height, 40u);

    // A plug-in's bad request on a connection of its own is reported, not fatal.
    Display* other = XOpenDisplay(corvena::test::XvfbEnvironment::display().c_str());
    ASSERT_NE(other, nullptr);
    XDestroyWindow(other, 0x7fffff); // no such window
    XSync(other, False);
    XCloseDisplay(other);
    window->resize(50, 60);
    EXPECT_EQ(probe.geometry(idOf(*window)).width, 50u);
}

TEST(X11WindowNoDisplay, CreateFailsWithTheMessage) {
    std::string saved = getenv("DISPLAY");
    for (const char* display : {"", ":65000"}) { // none, and one nobody serves
        setenv("DISPLAY", display, 1);
        std::string error;
        EXPECT_FALSE(PlatformWindow::create(300, 200, error));
        EXPECT_EQ(error, "could not create the editor window");
    }
    setenv("DISPLAY", saved.c_str(), 1);
}
