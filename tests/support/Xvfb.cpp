#include "support/Desktop.h"
#include "support/Process.h"

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace corvena::test {

const std::string& xvfbDisplay() {
    static std::string display;
    static std::unique_ptr<Process> server;
    if (server) return display;
    // Xvfb writes its display number once it accepts clients.
    const std::string dir = freshTempDir("xvfb"), log = dir + "/xvfb.log";
    server = std::make_unique<Process>(
        std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"},
        std::vector<std::string>{}, log);
    waitFor([&] {
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) display = ":" + line;
        return !display.empty();
    }, std::chrono::seconds(20));
    std::filesystem::remove_all(dir); // the server goes on writing to its log, unlinked
    setenv("DISPLAY", display.c_str(), 1);
    return display;
}

namespace {
struct IgnoringErrors {
    explicit IgnoringErrors(Display* d) : d(d) {
        XSync(d, False);
        old = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    }
    ~IgnoringErrors() {
        XSync(d, False);
        XSetErrorHandler(old);
    }
    Display* d;
    XErrorHandler old;
};
} // namespace

X11Probe::X11Probe() : display_(XOpenDisplay(xvfbDisplay().c_str())) {
    if (!display_) throw std::runtime_error("no X display " + xvfbDisplay());
}

X11Probe::~X11Probe() { XCloseDisplay(display_); }

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
    const std::string cmd = "import -window " + std::to_string(window) + " png:- 2>/dev/null | identify -format %k - 2>/dev/null";
    int colours = 0;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        if (fscanf(p, "%d", &colours) != 1) colours = 0;
        pclose(p);
    }
    return colours;
}

} // namespace corvena::test
