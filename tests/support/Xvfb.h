#pragma once
#include <string>
#include <vector>

typedef struct _XDisplay Display; // as Xlib declares it, without Xlib's macros

namespace corvena::test {

// A private Xvfb for the whole test binary, started on first use; DISPLAY then
// names it, so engines the tests spawn use it too.
const std::string& xvfbDisplay();

// Windows on that display, seen through a connection of the test's own.
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
    // A WM_PROTOCOLS message: by default what a window manager's close button sends.
    void sendProtocol(unsigned long window, const char* protocol = "WM_DELETE_WINDOW");
    // Distinct colours in a screenshot of the window, taken from the server (0: none taken).
    int screenshotColours(unsigned long window);

private:
    Display* display_;
};

} // namespace corvena::test
