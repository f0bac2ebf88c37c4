// The editor window on Linux: a plain Xlib top-level window on a display
// connection of its own, which the plug-in's view embeds its window into.
#include "plugin/PlatformWindow.h"

#include <pluginterfaces/gui/iplugview.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstring>
#include <iostream>

namespace corvena {
namespace {

// Xlib's default error handler ends the process, and it is process-wide: a
// plug-in's failed request on its own connection would take the engine (and
// the guitarist's sound) with it. Errors are reported and the process goes on.
int reportXError(Display* display, XErrorEvent* event) {
    char text[256] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    std::cerr << "corvena-audio: X error in an editor window: " << text << " (request " << int(event->request_code)
              << "." << int(event->minor_code) << ")\n";
    return 0;
}

// X sizes are 16-bit and a zero or negative size is a protocol error that the
// default Xlib error handler answers by ending the process; keep them in range.
unsigned int clampExtent(int32_t v) {
    return static_cast<unsigned int>(std::clamp<int32_t>(v, 1, 32767));
}

class X11Window final : public PlatformWindow {
public:
    X11Window(Display* display, Window window, Atom protocols, Atom deleteWindow)
        : display_(display), window_(window), wmProtocols_(protocols), wmDeleteWindow_(deleteWindow) {}

    ~X11Window() override {
        XDestroyWindow(display_, window_);
        XCloseDisplay(display_);
    }

    void* nativeHandle() const override {
        return reinterpret_cast<void*>(static_cast<uintptr_t>(window_));
    }

    void resize(int32_t width, int32_t height) override {
        unsigned int w = clampExtent(width), h = clampExtent(height);
        // The user cannot size the window: minimum and maximum follow the plug-in's size.
        setFixedSize(display_, window_, w, h);
        XResizeWindow(display_, window_, w, h);
        // Round trip: the plug-in sizes its own window on a connection of its own
        // right after this, and must find ours already at the new size.
        XSync(display_, False);
    }

    void show() override {
        XMapRaised(display_, window_);
        // A window manager may ignore raising a window it already shows; ask it
        // to activate ours as well (harmless without a window manager).
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = window_;
        ev.xclient.message_type = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = 1; // request from an application
        ev.xclient.data.l[1] = CurrentTime;
        XSendEvent(display_, DefaultRootWindow(display_), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &ev);
        XSync(display_, False);
    }

    void pumpEvents() override {
        // XPending reads what has arrived without blocking.
        while (XPending(display_) > 0) {
            XEvent ev;
            XNextEvent(display_, &ev);
            if (ev.type == ClientMessage && ev.xclient.window == window_ &&
                ev.xclient.message_type == wmProtocols_ &&
                static_cast<Atom>(ev.xclient.data.l[0]) == wmDeleteWindow_)
                closeFlag_ = true;
        }
    }

    bool closeRequested() const override { return closeFlag_; }

    static void setFixedSize(Display* display, Window window, unsigned int w, unsigned int h) {
        XSizeHints* hints = XAllocSizeHints();
        if (!hints) return;
        hints->flags = PSize | PMinSize | PMaxSize;
        hints->width = hints->min_width = hints->max_width = static_cast<int>(w);
        hints->height = hints->min_height = hints->max_height = static_cast<int>(h);
        XSetWMNormalHints(display, window, hints);
        XFree(hints);
    }

private:
    Display* display_;
    Window window_;
    Atom wmProtocols_;
    Atom wmDeleteWindow_;
    bool closeFlag_ = false;
};

} // namespace

const char* PlatformWindow::platformType() { return Steinberg::kPlatformTypeX11EmbedWindowID; }

std::unique_ptr<PlatformWindow> PlatformWindow::create(int32_t width, int32_t height, std::string& error) {
    XSetErrorHandler(reportXError);
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::cerr << "corvena-audio: no X display for the editor window\n";
        error = "could not create the editor window";
        return nullptr;
    }
    unsigned int w = clampExtent(width), h = clampExtent(height);
    int screen = DefaultScreen(display);
    XSetWindowAttributes attrs{};
    attrs.background_pixel = BlackPixel(display, screen);
    attrs.event_mask = StructureNotifyMask;
    Window window = XCreateWindow(display, RootWindow(display, screen), 0, 0, w, h, 0,
                                  CopyFromParent, InputOutput, CopyFromParent,
                                  CWBackPixel | CWEventMask, &attrs);
    if (window == 0) {
        XCloseDisplay(display);
        error = "could not create the editor window";
        return nullptr;
    }

    static const char title[] = "Amp";
    XStoreName(display, window, title);
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False), utf8, 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(title), 3);
    XClassHint classHint;
    char resName[] = "corvena-audio";
    char resClass[] = "CorvenaAudio";
    classHint.res_name = resName;
    classHint.res_class = resClass;
    XSetClassHint(display, window, &classHint);
    X11Window::setFixedSize(display, window, w, h);

    Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &deleteWindow, 1);
    // Round trip: the plug-in embeds into this window through its own connection,
    // so the window must exist on the server before its id is handed out.
    XSync(display, False);
    return std::make_unique<X11Window>(display, window, protocols, deleteWindow);
}

} // namespace corvena
