#include "XvfbServer.h"

#include <X11/Xlib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvena::test {

std::string XvfbEnvironment::display_;

void XvfbEnvironment::SetUp() {
    // Xvfb writes its display number to the pipe once it accepts clients.
    FILE* p = popen("Xvfb -displayfd 1 -screen 0 1280x1024x24 -nolisten tcp -noreset 2>/dev/null </dev/null"
                    " & echo pid $!", "r");
    ASSERT_TRUE(p);
    char line[64];
    for (int i = 0; i < 2 && fgets(line, sizeof line, p); ++i) {
        if (std::strncmp(line, "pid ", 4) == 0)
            pid_ = std::atoi(line + 4);
        else
            display_ = ":" + std::to_string(std::atoi(line));
    }
    pclose(p);
    ASSERT_FALSE(display_.empty()) << "Xvfb did not start";
    setenv("DISPLAY", display_.c_str(), 1);
}

void XvfbEnvironment::TearDown() {
    if (pid_ > 0) kill(pid_, SIGTERM);
}

namespace {
int ignoreErrors(Display*, XErrorEvent*) { return 0; }

struct IgnoringErrors {
    explicit IgnoringErrors(Display* d) : d(d) {
        XSync(d, False);
        old = XSetErrorHandler(ignoreErrors);
    }
    ~IgnoringErrors() {
        XSync(d, False);
        XSetErrorHandler(old);
    }
    Display* d;
    XErrorHandler old;
};
} // namespace

X11Probe::X11Probe() : display_(XOpenDisplay(XvfbEnvironment::display().c_str())) {
    EXPECT_NE(display_, nullptr);
}

X11Probe::~X11Probe() {
    if (display_) XCloseDisplay(display_);
}

std::vector<unsigned long> X11Probe::children(unsigned long window) {
    std::vector<unsigned long> out;
    IgnoringErrors quiet(display_);
    Window root, parent, *kids = nullptr;
    unsigned n = 0;
    if (XQueryTree(display_, window, &root, &parent, &kids, &n) && kids) {
        out.assign(kids, kids + n);
        XFree(kids);
    }
    return out;
}

std::vector<unsigned long> X11Probe::topLevelsNamed(const std::string& title) {
    std::vector<unsigned long> out;
    for (unsigned long w : children(DefaultRootWindow(display_))) {
        IgnoringErrors quiet(display_);
        char* name = nullptr;
        if (XFetchName(display_, w, &name) && name) {
            if (title == name) out.push_back(w);
            XFree(name);
        }
    }
    return out;
}

X11Probe::Geometry X11Probe::geometry(unsigned long window) {
    Geometry g;
    IgnoringErrors quiet(display_);
    XWindowAttributes a{};
    Window child;
    if (XGetWindowAttributes(display_, window, &a)) {
        g = {0, 0, unsigned(a.width), unsigned(a.height), a.map_state == IsViewable};
        XTranslateCoordinates(display_, window, a.root, 0, 0, &g.x, &g.y, &child);
    }
    return g;
}

void X11Probe::sendProtocol(unsigned long window, const char* protocol) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, protocol, False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &ev);
    XSync(display_, False);
}

int X11Probe::screenshotColours(unsigned long window) {
    // imagemagick grabs the window from the server, independently of the engine.
    std::string cmd = "import -window " + std::to_string(window) + " png:- 2>/dev/null | identify -format %k - 2>/dev/null";
    int colours = 0;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        if (fscanf(p, "%d", &colours) != 1) colours = 0;
        pclose(p);
    }
    return colours;
}

} // namespace corvena::test
