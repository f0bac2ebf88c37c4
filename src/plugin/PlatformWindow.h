#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace corvena {

// The editor window, behind which each platform keeps its own windowing code.
// Each platform's window unit defines create() and platformType().
class PlatformWindow {
public:
    virtual ~PlatformWindow() = default;

    // Native handle the plug-in view attaches to (an X window id on Linux, an HWND on Windows).
    virtual void* nativeHandle() const = 0;
    // New client-area size; the window neither moves nor comes to the front.
    virtual void resize(int32_t width, int32_t height) = 0;
    // Show the window and bring it to the front.
    virtual void show() = 0;
    // Handle every pending window-system event without waiting.
    virtual void pumpEvents() = 0;
    // The user asked to close the window; the window itself stays until destroyed.
    virtual bool closeRequested() const = 0;

    // A hidden top-level window titled "Amp" with the given client size; null with
    // `error` set to "could not create the editor window" when none can be made.
    static std::unique_ptr<PlatformWindow> create(int32_t width, int32_t height, std::string& error);
    // The VST 3 platform type string for nativeHandle(); known before any window exists,
    // since the view is asked whether it supports it before the window is made.
    static const char* platformType();
};

} // namespace corvena
