#include "XvfbServer.h"

#include <X11/Xlib.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace corvena::test {

std::string XvfbEnvironment::display_;

void XvfbEnvironment::SetUp() {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
        close(fds[0]);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24",
               "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char c;
        ssize_t n = read(fds[0], &c, 1);
        if (n <= 0 || c == '\n') break;
        number += c;
    }
    close(fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);
    // Wait until the server accepts clients.
    for (int i = 0; i < 100; ++i) {
        if (Display* d = XOpenDisplay(display_.c_str())) {
            XCloseDisplay(d);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FAIL() << "Xvfb on " << display_ << " accepts no clients";
}

void XvfbEnvironment::TearDown() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) { pid_ = -1; return; }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

X11Probe::X11Probe() : display_(XOpenDisplay(XvfbEnvironment::display().c_str())) {
    EXPECT_NE(display_, nullptr);
}

X11Probe::~X11Probe() {
    if (display_) XCloseDisplay(static_cast<Display*>(display_));
}

namespace {
// Windows may vanish between listing and asking; such errors are not failures here.
int ignoreErrors(Display*, XErrorEvent*) { return 0; }
} // namespace

std::vector<unsigned long> X11Probe::children(unsigned long window) {
    std::vector<unsigned long> out;
    Display* d = static_cast<Display*>(display_);
    if (!d) return out;
    XSync(d, False);
    XErrorHandler old = XSetErrorHandler(ignoreErrors);
    Window root, parent, *kids = nullptr;
    unsigned n = 0;
    if (XQueryTree(d, window, &root, &parent, &kids, &n)) {
        out.assign(kids, kids + n);
        if (kids) XFree(kids);
    }
    XSync(d, False);
    XSetErrorHandler(old);
    return out;
}

std::vector<unsigned long> X11Probe::topLevelsNamed(const std::string& title) {
    std::vector<unsigned long> out;
    Display* d = static_cast<Display*>(display_);
    if (!d) return out;
    for (unsigned long w : children(DefaultRootWindow(d))) {
        XErrorHandler old = XSetErrorHandler(ignoreErrors);
        char* name = nullptr;
        if (XFetchName(d, w, &name) && name) {
            if (title == name) out.push_back(w);
            XFree(name);
        }
        XSync(d, False);
        XSetErrorHandler(old);
    }
    return out;
}

X11Probe::Geometry X11Probe::geometry(unsigned long window) {
    Geometry g;
    Display* d = static_cast<Display*>(display_);
    if (!d) return g;
    XSync(d, False);
    XErrorHandler old = XSetErrorHandler(ignoreErrors);
    Window root, child;
    unsigned border, depth;
    if (XGetGeometry(d, window, &root, &g.x, &g.y, &g.width, &g.height, &border, &depth))
        XTranslateCoordinates(d, window, root, 0, 0, &g.x, &g.y, &child);
    XSync(d, False);
    XSetErrorHandler(old);
    return g;
}

bool X11Probe::viewable(unsigned long window) {
    Display* d = static_cast<Display*>(display_);
    if (!d) return false;
    XSync(d, False);
    XErrorHandler old = XSetErrorHandler(ignoreErrors);
    XWindowAttributes a{};
    bool ok = XGetWindowAttributes(d, window, &a) && a.map_state == IsViewable;
    XSync(d, False);
    XSetErrorHandler(old);
    return ok;
}

void X11Probe::sendDeleteRequest(unsigned long window) {
    Display* d = static_cast<Display*>(display_);
    if (!d) return;
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, window, False, NoEventMask, &ev);
    XSync(d, False);
}

int X11Probe::screenshotColours(unsigned long window) {
    // imagemagick grabs the window from the server, independently of the engine.
    std::string cmd = "DISPLAY=" + XvfbEnvironment::display() + " import -window " +
                      std::to_string(window) + " png:- 2>/dev/null | identify -format %k - 2>/dev/null";
    std::string out = runCommand(cmd);
    try {
        return out.empty() ? 0 : std::stoi(out);
    } catch (...) {
        return 0;
    }
}

std::string runCommand(const std::string& command, int* status) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

} // namespace corvena::test
