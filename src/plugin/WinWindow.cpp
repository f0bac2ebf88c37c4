// The editor window on Windows: a plain Win32 top-level window without a sizing
// border; only the plug-in resizes it (through the frame's resizeView).
#include "plugin/PlatformWindow.h"

#include <pluginterfaces/gui/iplugview.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace corvena {
namespace {

// Caption, system menu and minimise box: no sizing border, no maximise box.
constexpr DWORD kEditorStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
static_assert(kEditorStyle == 0xCA0000, "editor window style");
constexpr UINT kResizeFlags = SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE;
static_assert(kResizeFlags == 0x16, "resize flags");
const wchar_t kClassName[] = L"CorvenaVstEditor";

LRESULT CALLBACK editorWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        // Closing is the slot's decision (on its next pump); only note the request.
        auto* closeFlag = reinterpret_cast<unsigned char*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (closeFlag) *closeFlag = 1;
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

class WinWindow final : public PlatformWindow {
public:
    explicit WinWindow(HWND handle) : hwnd(handle) {}
    ~WinWindow() override {
        if (hwnd) DestroyWindow(hwnd);
    }
    WinWindow(const WinWindow&) = delete;
    WinWindow& operator=(const WinWindow&) = delete;

    void* nativeHandle() const override { return hwnd; }

    void resize(int32_t width, int32_t height) override {
        RECT rect{0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
        DWORD style = static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE));
        DWORD exStyle = static_cast<DWORD>(GetWindowLongA(hwnd, GWL_EXSTYLE));
        AdjustWindowRectEx(&rect, style, FALSE, exStyle);
        SetWindowPos(hwnd, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top, kResizeFlags);
    }

    void show() override {
        ShowWindow(hwnd, SW_SHOW);
        SetForegroundWindow(hwnd);
    }

    void pumpEvents() override {
        // No window filter: the plug-in's own windows and timers on this thread
        // get their messages here too.
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }

    bool closeRequested() const override { return closeFlag != 0; }

    HWND hwnd;
    unsigned char closeFlag = 0;
};

} // namespace

const char* PlatformWindow::platformType() { return Steinberg::kPlatformTypeHWND; }

std::unique_ptr<PlatformWindow> PlatformWindow::create(int32_t width, int32_t height, std::string& error) {
    HINSTANCE instance = GetModuleHandleA(nullptr);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(WNDCLASSEXW);
    windowClass.style = 0;
    windowClass.lpfnWndProc = editorWindowProc;
    windowClass.hInstance = instance;
    // IDC_ARROW is an integer resource id; its pointer type follows UNICODE.
    windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    windowClass.lpszClassName = kClassName;
    // Fails harmlessly once the class exists; it is never unregistered.
    RegisterClassExW(&windowClass);

    RECT rect{0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
    AdjustWindowRectEx(&rect, kEditorStyle, FALSE, 0);
    HWND hwnd = CreateWindowExW(0, kClassName, L"Amp", kEditorStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr,
                                instance, nullptr);
    if (!hwnd) {
        error = "could not create the editor window";
        return nullptr;
    }
    auto window = std::make_unique<WinWindow>(hwnd);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&window->closeFlag));
    return window;
}

} // namespace corvena
