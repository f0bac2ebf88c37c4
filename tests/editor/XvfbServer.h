#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include <sys/types.h>

typedef struct _XDisplay Display; // as Xlib declares it, without Xlib's macros

namespace corvena::test {

// A private Xvfb on a display number it picks itself; DISPLAY then points at it,
// so engines spawned by the tests inherit it.
class XvfbEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    static const std::string& display() { return display_; }

private:
    static std::string display_;
    pid_t pid_ = -1;
};

// Looks at windows on the test display through a connection of its own.
// Windows may vanish while being asked about: X errors are ignored.
class X11Probe {
public:
    X11Probe();
    ~X11Probe();
    X11Probe(const X11Probe&) = delete;
    X11Probe& operator=(const X11Probe&) = delete;

    struct Geometry {
        int x = 0, y = 0; // of the client area, on the screen
        unsigned width = 0, height = 0;
        bool viewable = false;
    };
    Display* display() const { return display_; }
    std::vector<unsigned long> topLevelsNamed(const std::string& title);
    std::vector<unsigned long> children(unsigned long window);
    Geometry geometry(unsigned long window);
    // A WM_PROTOCOLS message, by default what a window manager's close button sends.
    void sendProtocol(unsigned long window, const char* protocol = "WM_DELETE_WINDOW");
    // Distinct colours in a screenshot of the window (0 when none was taken).
    int screenshotColours(unsigned long window);

private:
    Display* display_;
};

inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

} // namespace corvena::test
