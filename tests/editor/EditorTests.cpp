// The editor on Linux under the test binary's Xvfb: the window, the run loop,
// the frame's threads, and editors through the engine process.
#include <gtest/gtest.h>

#include "plugin/Frame.h"
#include "plugin/PlatformWindow.h"
#include "plugin/PluginSlot.h"
#include "plugin/RunLoop.h"
#include "support/EngineProcess.h"
#include "support/JackPeer.h"
#include "support/JackServer.h"
#include "support/Measures.h"
#include "support/TestPlugins.h"
#include "support/Desktop.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <thread>
#include <unistd.h>

using namespace corvena;
using namespace corvena::test;
using namespace std::chrono_literals;
using namespace Steinberg;

namespace {
Window idOf(const PlatformWindow& w) { return static_cast<Window>(reinterpret_cast<uintptr_t>(w.nativeHandle())); }

// Window managers offer no sizing when minimum and maximum are the same.
void expectFixedSize(Display* d, Window w, int width, int height) {
    XSizeHints h{};
    long supplied = 0;
    XGetWMNormalHints(d, w, &h, &supplied);
    EXPECT_EQ(std::make_tuple((h.flags & PMinSize) && (h.flags & PMaxSize), h.min_width, h.max_width, h.min_height, h.max_height),
              std::make_tuple(true, width, width, height, height));
}

// A reference-counted timer and descriptor handler.
struct Handler : Linux::ITimerHandler, Linux::IEventHandler {
    tresult PLUGIN_API queryInterface(const TUID, void** obj) override { return *obj = nullptr, kNoInterface; }
    uint32 PLUGIN_API addRef() override { return ++refs; }
    uint32 PLUGIN_API release() override { // destroyed during a call: a use after free
        return --refs == 0 ? (destroyed = true, destroyedDuringCall = inCall, 0u) : refs;
    }
    void PLUGIN_API onTimer() override {
        inCall = true;
        ++calls;
        if (action) action();
        inCall = false;
    }
    void PLUGIN_API onFDIsSet(Linux::FileDescriptor fd) override {
        fds.push_back(fd);
        char c;
        [[maybe_unused]] ssize_t n = read(fd, &c, 1); // or it stays readable
    }
    uint32 refs = 1;
    int calls = 0;
    std::vector<int> fds;
    std::function<void()> action;
    bool inCall = false, destroyed = false, destroyedDuringCall = false;
};

struct EditorProcess : ::testing::Test {
    bool ok(json body) { return engine.request(std::move(body)).value("ok", false); }
    bool load(const std::string& path) { return ok({{"cmd", "vstLoad"}, {"path", path}}); }
    bool open(bool open = true) { return ok({{"cmd", "vstEditor"}, {"open", open}}); }
    bool noWindow() { return waitFor([&] { return probe.topLevelsNamed("Amp").empty(); }); }
    X11Probe probe; // first: DISPLAY names the test's Xvfb for the engine
    EngineProcess engine{JackServer::shared().environment()};
};

} // namespace

// A fixed-size top level titled "Amp", resized in place, closed on request.
// X treats a zero size as a protocol error, which Xlib's default handler
// answers by exiting: the window keeps the smallest legal size instead, and a
// plug-in's bad request on a connection of its own is reported, not fatal.
TEST(X11Window, FixedSizeTopLevelResizedInPlaceCloseRequestedAndNothingEndsTheProcess) {
    X11Probe probe;
    Display* d = probe.display();
    std::string error;
    auto window = PlatformWindow::create(320, 200, error);
    ASSERT_TRUE(window) << error;
    const Window id = idOf(*window);
    X11Probe::Geometry g = probe.geometry(id);
    EXPECT_EQ(std::make_tuple(g.width, g.height, g.viewable), std::make_tuple(320u, 200u, false));
    expectFixedSize(d, id, 320, 200);
    EXPECT_EQ(probe.topLevelsNamed("Amp"), std::vector<unsigned long>{id});
    // The close button must reach us as a message, not as a destroyed window.
    Atom* protocols = nullptr;
    int count = 0;
    ASSERT_TRUE(XGetWMProtocols(d, id, &protocols, &count));
    EXPECT_NE(std::find(protocols, protocols + count, XInternAtom(d, "WM_DELETE_WINDOW", False)), protocols + count);
    XFree(protocols);

    window->show();
    XMoveWindow(d, id, 137, 91); // away from the origin, as a user or window manager might
    const X11Probe::Geometry before = probe.geometry(id);
    EXPECT_TRUE(before.viewable);
    window->resize(640, 123);
    g = probe.geometry(id);
    EXPECT_EQ(std::make_tuple(g.width, g.height, g.x, g.y), std::make_tuple(640u, 123u, before.x, before.y));
    expectFixedSize(d, id, 640, 123);

    window->pumpEvents(); // nothing pending: returns at once
    probe.sendProtocol(id, "WM_TAKE_FOCUS"); // not a close request
    window->pumpEvents();
    EXPECT_FALSE(window->closeRequested());
    probe.sendProtocol(id);
    window->pumpEvents();
    window->pumpEvents();
    EXPECT_TRUE(window->closeRequested()) << "and it stays set";
    EXPECT_TRUE(probe.geometry(id).viewable) << "the window stays until destroyed";

    window = PlatformWindow::create(0, -20, error);
    ASSERT_TRUE(window) << error;
    auto size = [&] { return std::make_pair(probe.geometry(idOf(*window)).width, probe.geometry(idOf(*window)).height); };
    EXPECT_EQ(size(), std::make_pair(1u, 1u));
    window->resize(-1, 0);
    window->resize(100000, 40);
    EXPECT_EQ(size(), std::make_pair(32767u, 40u));
    Display* other = XOpenDisplay(xvfbDisplay().c_str());
    ASSERT_NE(other, nullptr);
    XDestroyWindow(other, 0x7fffff); // no such window
    XSync(other, False);
    XCloseDisplay(other);
    window->resize(50, 60);
    EXPECT_EQ(probe.geometry(idOf(*window)).width, 50u);
    // (No display to open: SlotEditor.EditorsWeCannotShow.)
}

// Timers fire once per interval, never in a burst; descriptor handlers are
// called only when readable; a handler may unregister itself and others from
// its callback. The loop is declared after the handlers: it releases them when it goes.
TEST(RunLoop, TimersDescriptorsAndUnregisteringFromACallback) {
    Handler timer, handler, first, second, third;
    int a[2], b[2], c[2];
    ASSERT_EQ(pipe(a) | pipe(b) | pipe(c), 0);
    RunLoop loop;
    EXPECT_EQ(std::make_pair(loop.registerTimer(nullptr, 10), loop.registerEventHandler(nullptr, 0)),
              std::make_pair(tresult(kInvalidArgument), tresult(kInvalidArgument)));
    ASSERT_EQ(loop.registerTimer(&timer, 200), kResultTrue);
    const auto start = RunLoop::Clock::now();
    EXPECT_EQ(timer.refs, 2u) << "held while registered";
    // Not yet due; due; the next turn counts from the last firing; a pump
    // seconds late fires once, not fifty times; the interval after it.
    std::vector<int> calls;
    for (auto at : {0ms, 250ms, 300ms, 10000ms, 10210ms}) {
        loop.service(start + at);
        calls.push_back(timer.calls);
    }
    EXPECT_EQ(calls, std::vector<int>({0, 1, 1, 2, 3}));
    // Registering again changes the interval instead of adding a second timer.
    loop.registerTimer(&timer, 100000);
    loop.registerTimer(&timer, 5);
    loop.service(RunLoop::Clock::now() + 10ms);
    EXPECT_EQ(std::make_pair(timer.refs, timer.calls), std::make_pair(2u, 4));
    EXPECT_EQ(loop.unregisterTimer(&timer), kResultTrue);
    loop.service(start + 1h);
    EXPECT_EQ(std::make_pair(timer.refs, timer.calls), std::make_pair(1u, 4));

    loop.registerEventHandler(&handler, a[0]);
    loop.registerEventHandler(&handler, b[0]);
    loop.registerEventHandler(&handler, b[0]); // the same pair twice counts once
    EXPECT_EQ(handler.refs, 3u);
    loop.service(); // nothing readable yet: the exact list below shows no call
    ASSERT_EQ(write(b[1], "x", 1), 1);
    loop.service();
    loop.service(); // the byte was read: nothing pending any more
    EXPECT_EQ(handler.fds, std::vector<int>{b[0]});
    EXPECT_EQ(loop.unregisterEventHandler(&handler), kResultTrue) << "every descriptor of the handler";
    EXPECT_EQ(handler.refs, 1u);
    ASSERT_EQ(write(a[1], "x", 1), 1);
    loop.service();
    loop.registerEventHandler(&handler, c[0]);
    close(c[0]); // closed behind the loop's back: not reported
    loop.service();
    EXPECT_EQ(handler.fds.size(), 1u);
    for (int fd : {a[0], a[1], b[0], b[1], c[1]}) close(fd);

    // `first` drops its registration and its creator's reference inside its
    // call: the loop keeps it alive until the call returns, and does not call
    // `second`, unregistered by `first` although due in the same turn.
    first.action = [&] {
        loop.unregisterTimer(&first);
        loop.unregisterTimer(&second);
        first.release();
        loop.registerTimer(&third, 0);
    };
    loop.registerTimer(&first, 1);
    loop.registerTimer(&second, 1);
    loop.service(RunLoop::Clock::now() + 5ms);
    EXPECT_EQ(std::make_tuple(first.calls, second.calls, third.calls), std::make_tuple(1, 0, 0)) << "registered during the turn: from the next";
    EXPECT_TRUE(first.destroyed && !first.destroyedDuringCall);
    loop.service(RunLoop::Clock::now() + 1s);
    EXPECT_EQ(std::make_tuple(first.calls, third.calls), std::make_tuple(1, 1));
}

// The run loop and the window belong to the control thread: a plug-in thread
// calling in would race with the pump. A view may keep its frame past the
// editor's close, when the window is gone.
TEST(Frame, DetachedOrFromAnotherThreadReachesNoWindowAndHoldsNoHandler) {
    X11Probe probe;
    std::string error;
    auto window = PlatformWindow::create(200, 100, error);
    ASSERT_TRUE(window) << error;
    Handler timer;
    Frame* frame = new Frame(window.get()); // held through references only; this one is the slot's
    tresult timerResult = kResultOk, resizeResult = kResultOk;
    std::thread([&] {
        timerResult = frame->registerTimer(&timer, 10);
        ViewRect rect(0, 0, 10, 10);
        resizeResult = frame->resizeView(nullptr, &rect);
    }).join();
    EXPECT_EQ(std::make_tuple(timerResult, resizeResult, timer.refs), std::make_tuple(kResultFalse, kResultFalse, 1u));
    frame->registerTimer(&timer, 10);
    EXPECT_EQ(timer.refs, 2u);
    frame->detach();
    EXPECT_EQ(timer.refs, 1u);
    ViewRect rect(0, 0, 300, 300);
    EXPECT_EQ(frame->resizeView(nullptr, &rect), kResultFalse);
    EXPECT_EQ(probe.geometry(idOf(*window)).width, 200u) << "never resized";
    frame->release();
}

TEST_F(EditorProcess, ZamCompsEditorIsDrawnByTheMainLoopAndGoesWithTheProcess) {
    ASSERT_TRUE(load("/usr/lib/vst3/ZamComp.vst3"));
    ASSERT_TRUE(open());
    unsigned long window = 0; // the one editor window, once it is shown with the plug-in's view inside
    ASSERT_TRUE(waitFor([&] {
        const auto windows = probe.topLevelsNamed("Amp");
        window = windows.size() == 1 && probe.geometry(windows[0]).viewable && probe.children(windows[0]).size() == 1 ? windows[0] : 0;
        return window != 0;
    }));
    const X11Probe::Geometry outer = probe.geometry(window), inner = probe.geometry(probe.children(window).at(0));
    EXPECT_GT(outer.width, 100u);
    EXPECT_EQ(std::make_pair(outer.width, outer.height), std::make_pair(inner.width, inner.height)) << "the view fills it";
    // The plug-in draws its user interface only while the main loop pumps it.
    EXPECT_TRUE(waitFor([&] { return probe.screenshotColours(window) > 16; }, 10s)) << probe.screenshotColours(window);
    EXPECT_EQ(engine.request({{"cmd", "vstStatus"}})["editorOpen"], true);
    // (Opened again, closed by the window manager: SlotEditor.ViewGetsTheRunLoopResizesItsWindowAndClosesFirst.)
    EXPECT_EQ(engine.quit(), 0);
    EXPECT_TRUE(noWindow()) << "the window goes with the process";
}

// Our view edits the gain to 0.25 (half of unity) from its timer, which only
// the engine's main loop drives; the edit is heard, and stays after the
// editor is closed. (Closed by an unload: SlotEditor's closedBy(2).)
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
    EXPECT_TRUE(noWindow());
    EXPECT_NEAR(level() / unity, 0.5f, 0.01f) << "the edit stays";
    EXPECT_EQ(engine.quit(), 0);
}
