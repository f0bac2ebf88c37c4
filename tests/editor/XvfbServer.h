#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <sys/types.h>

namespace corvena::test {

// A private Xvfb server for the editor tests. Xvfb chooses a free display number
// itself (-displayfd); DISPLAY of the test process then points at it, so engines
// spawned by the tests inherit it.
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
class X11Probe {
public:
    X11Probe();
    ~X11Probe();
    X11Probe(const X11Probe&) = delete;
    X11Probe& operator=(const X11Probe&) = delete;

    struct Geometry {
        int x = 0, y = 0;          // client area's position on the screen
        unsigned width = 0, height = 0;
        bool operator==(const Geometry& o) const {
            return x == o.x && y == o.y && width == o.width && height == o.height;
        }
    };
    // Top-level windows titled `title`.
    std::vector<unsigned long> topLevelsNamed(const std::string& title);
    std::vector<unsigned long> children(unsigned long window);
    Geometry geometry(unsigned long window);
    bool viewable(unsigned long window);
    // What a window manager sends when the user clicks the close button.
    void sendDeleteRequest(unsigned long window);
    // Number of distinct colours in a screenshot of the window (0 when none was taken).
    int screenshotColours(unsigned long window);

private:
    void* display_;
};

// Runs a shell command, returns its standard output (trailing newline removed).
std::string runCommand(const std::string& command, int* status = nullptr);

} // namespace corvena::test
