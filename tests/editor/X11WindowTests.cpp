// The Linux editor window, inspected through a display connection of the test's own.
#include "plugin/PlatformWindow.h"
#include "XvfbServer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

using corvena::PlatformWindow;

static auto* const xvfb = ::testing::AddGlobalTestEnvironment(new corvena::test::XvfbEnvironment);

namespace {

class X11WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        display = XOpenDisplay(corvena::test::XvfbEnvironment::display().c_str());
        ASSERT_NE(display, nullptr);
    }
    void TearDown() override {
        if (display) XCloseDisplay(display);
    }
    static Window idOf(const PlatformWindow& w) {
        return static_cast<Window>(reinterpret_cast<uintptr_t>(w.nativeHandle()));
    }
    struct Geometry {
        int x, y;
        unsigned width, height;
    };
    // Client size and the position of the client area on the screen.
    Geometry geometry(Window w) {
        XSync(display, False);
        Window root, child;
        int x, y;
        unsigned width, height, border, depth;
        XGetGeometry(display, w, &root, &x, &y, &width, &height, &border, &depth);
        XTranslateCoordinates(display, w, root, 0, 0, &x, &y, &child);
        return {x, y, width, height};
    }
    XSizeHints hints(Window w) {
        XSizeHints h{};
        long supplied = 0;
        XGetWMNormalHints(display, w, &h, &supplied);
        return h;
    }
    int mapState(Window w) {
        XSync(display, False);
        XWindowAttributes a{};
        XGetWindowAttributes(display, w, &a);
        return a.map_state;
    }
    void sendDelete(Window w) {
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = w;
        ev.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
        ev.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, w, False, NoEventMask, &ev);
        XSync(display, False);
    }
    Display* display = nullptr;
};

} // namespace

TEST_F(X11WindowTest, HiddenFixedSizeTopLevelTitledAmp) {
    std::string error;
    auto window = PlatformWindow::create(320, 200, error);
    ASSERT_TRUE(window) << error;
    EXPECT_STREQ(PlatformWindow::platformType(), "X11EmbedWindowID");
    Window id = idOf(*window);
    ASSERT_NE(id, 0u);

    Geometry g = geometry(id);
    EXPECT_EQ(g.width, 320u);
    EXPECT_EQ(g.height, 200u);
    EXPECT_EQ(mapState(id), IsUnmapped);

    char* name = nullptr;
    ASSERT_TRUE(XFetchName(display, id, &name));
    EXPECT_STREQ(name, "Amp");
    XFree(name);

    // Window managers offer no sizing when minimum and maximum are the same.
    XSizeHints h = hints(id);
    EXPECT_TRUE((h.flags & PMinSize) && (h.flags & PMaxSize));
    EXPECT_EQ(h.min_width, 320);
    EXPECT_EQ(h.max_width, 320);
    EXPECT_EQ(h.min_height, 200);
    EXPECT_EQ(h.max_height, 200);

    // The close button must reach us as a message, not as a destroyed window.
    Atom* protocols = nullptr;
    int count = 0;
    ASSERT_TRUE(XGetWMProtocols(display, id, &protocols, &count));
    Atom del = XInternAtom(display, "WM_DELETE_WINDOW", False);
    EXPECT_TRUE(std::find(protocols, protocols + count, del) != protocols + count);
    XFree(protocols);

    Window root, parent, *children = nullptr;
    unsigned n = 0;
    XQueryTree(display, id, &root, &parent, &children, &n);
    if (children) XFree(children);
    EXPECT_EQ(parent, root);

    window->show();
    EXPECT_EQ(mapState(id), IsViewable);
}

TEST_F(X11WindowTest, ResizeKeepsThePosition) {
    std::string error;
    auto window = PlatformWindow::create(300, 240, error);
    ASSERT_TRUE(window);
    Window id = idOf(*window);
    window->show();
    // Move it somewhere other than the origin first, as a user or window manager might.
    XMoveWindow(display, id, 137, 91);
    Geometry before = geometry(id);
    ASSERT_EQ(before.x, 137);

    window->resize(640, 123);
    Geometry after = geometry(id);
    EXPECT_EQ(after.width, 640u);
    EXPECT_EQ(after.height, 123u);
    EXPECT_EQ(after.x, before.x);
    EXPECT_EQ(after.y, before.y);
    XSizeHints h = hints(id);
    EXPECT_EQ(h.min_width, 640);
    EXPECT_EQ(h.max_height, 123);

    // Shrinking works the same way.
    window->resize(50, 60);
    after = geometry(id);
    EXPECT_EQ(after.width, 50u);
    EXPECT_EQ(after.height, 60u);
    EXPECT_EQ(after.x, before.x);
}

TEST_F(X11WindowTest, DegenerateSizesDoNotEndTheProcess) {
    // X treats a zero size as a protocol error, which Xlib's default handler
    // answers by exiting; the window keeps the smallest legal size instead.
    std::string error;
    auto window = PlatformWindow::create(0, -20, error);
    ASSERT_TRUE(window);
    Geometry g = geometry(idOf(*window));
    EXPECT_EQ(g.width, 1u);
    EXPECT_EQ(g.height, 1u);
    window->resize(-1, 0);
    window->resize(100000, 40);
    g = geometry(idOf(*window));
    EXPECT_EQ(g.width, 32767u);
    EXPECT_EQ(g.height, 40u);
}

TEST_F(X11WindowTest, DeleteRequestSetsCloseRequestedAndKeepsTheWindow) {
    std::string error;
    auto window = PlatformWindow::create(200, 100, error);
    ASSERT_TRUE(window);
    Window id = idOf(*window);
    window->show();
    window->pumpEvents(); // nothing pending: returns at once
    EXPECT_FALSE(window->closeRequested());

    // Another client message on the same window is not a close request.
    XEvent other{};
    other.xclient.type = ClientMessage;
    other.xclient.window = id;
    other.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    other.xclient.format = 32;
    other.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_TAKE_FOCUS", False));
    XSendEvent(display, id, False, NoEventMask, &other);
    XSync(display, False);
    window->pumpEvents();
    EXPECT_FALSE(window->closeRequested());

    sendDelete(id);
    window->pumpEvents();
    EXPECT_TRUE(window->closeRequested());
    window->pumpEvents();
    EXPECT_TRUE(window->closeRequested()); // it stays set
    EXPECT_EQ(mapState(id), IsViewable);   // and the window stays until destroyed

    window.reset();
    // Destroyed with its owner.
    XSync(display, False);
    XErrorHandler old = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    XWindowAttributes a{};
    EXPECT_EQ(XGetWindowAttributes(display, id, &a), 0);
    XSetErrorHandler(old);
}

TEST(X11WindowNoDisplay, CreateFailsWithTheMessage) {
    const char* saved = getenv("DISPLAY");
    std::string keep = saved ? saved : "";
    unsetenv("DISPLAY");
    std::string error;
    auto window = PlatformWindow::create(300, 200, error);
    EXPECT_FALSE(window);
    EXPECT_EQ(error, "could not create the editor window");
    setenv("DISPLAY", ":65000", 1); // a display nobody serves
    error.clear();
    EXPECT_FALSE(PlatformWindow::create(300, 200, error));
    EXPECT_EQ(error, "could not create the editor window");
    if (saved) setenv("DISPLAY", keep.c_str(), 1);
}
