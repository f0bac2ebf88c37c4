#pragma once
// The editor's top-level windows as a user's desktop sees them: through X on
// Linux (X11Probe, on the test binary's Xvfb), through the Win32 API on Windows
// (under Wine, on the X server DISPLAY names).
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include <string>
#include <vector>
#else
#include "support/Xvfb.h"
#endif

namespace corvena::test {

#ifdef _WIN32
class DesktopProbe {
public:
    struct Geometry {
        int x = 0, y = 0; // of the client area, on the screen
        unsigned width = 0, height = 0;
        bool viewable = false;
    };
    // Our editor windows (their class is the engine's own) with that title.
    std::vector<uintptr_t> topLevelsNamed(const std::string& title) {
        std::vector<uintptr_t> found;
        for (HWND w = nullptr; (w = FindWindowExA(nullptr, w, "CorvenaVstEditor", title.c_str()));)
            found.push_back(reinterpret_cast<uintptr_t>(w));
        return found;
    }
    Geometry geometry(uintptr_t window) {
        const HWND w = reinterpret_cast<HWND>(window);
        RECT r{};
        POINT origin{};
        if (!GetClientRect(w, &r) || !ClientToScreen(w, &origin)) return {};
        return {origin.x, origin.y, unsigned(r.right - r.left), unsigned(r.bottom - r.top), IsWindowVisible(w) != 0};
    }
    // What the title bar's close button sends.
    void sendProtocol(uintptr_t window) { PostMessageW(reinterpret_cast<HWND>(window), WM_CLOSE, 0, 0); }
};
#else
using DesktopProbe = X11Probe;
#endif

// Polls `condition` until it holds (false after `limit`): for what the window
// system or the engine's main loop does in their own time.
inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

} // namespace corvena::test
