#pragma once
#include <cstdint>
#include <memory>

namespace corvena {

// The editor window, behind which each platform keeps its own windowing code.
// (Interface fixed; the editor work fills in the implementations.)
class PlatformWindow {
public:
    virtual ~PlatformWindow() = default;

    // Native handle the plug-in view attaches to (an X window id on Linux, an HWND on Windows).
    virtual void* nativeHandle() const = 0;
    // The VST 3 platform type string for nativeHandle().
    virtual const char* platformType() const = 0;
    // New client-area size; the window neither moves nor comes to the front.
    virtual void resize(int32_t width, int32_t height) = 0;
    // Show the window and bring it to the front.
    virtual void show() = 0;
    // Handle every pending window-system event without waiting.
    virtual void pumpEvents() = 0;
    // The user asked to close the window.
    virtual bool closeRequested() const = 0;

    // A top-level window titled "Amp" with the given client size; null when none can be made.
    static std::unique_ptr<PlatformWindow> create(int32_t width, int32_t height);
};

} // namespace corvena
