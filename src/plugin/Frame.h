#pragma once
#include "plugin/PlatformWindow.h"

#include <pluginterfaces/gui/iplugview.h>
#if SMTG_OS_LINUX
#include "plugin/RunLoop.h"
#endif

#include <atomic>
#include <thread>

namespace corvena {

// The plug-in frame handed to the editor view: lets the plug-in resize its
// window and, on Linux, offers the host run loop through queryInterface.
// Only the editor unit of the slot makes one.
class Frame final : public Steinberg::IPlugFrame
#if SMTG_OS_LINUX
    , public Steinberg::Linux::IRunLoop
#endif
{
public:
    // The reference count starts at 1: the slot's editorFrame holds it.
    explicit Frame(PlatformWindow* window) : window(window) {}

    // IPlugFrame
    Steinberg::tresult PLUGIN_API resizeView(Steinberg::IPlugView* view, Steinberg::ViewRect* newSize) override;

#if SMTG_OS_LINUX
    // Linux::IRunLoop
    Steinberg::tresult PLUGIN_API registerEventHandler(Steinberg::Linux::IEventHandler* handler,
                                                       Steinberg::Linux::FileDescriptor fd) override;
    Steinberg::tresult PLUGIN_API unregisterEventHandler(Steinberg::Linux::IEventHandler* handler) override;
    Steinberg::tresult PLUGIN_API registerTimer(Steinberg::Linux::ITimerHandler* handler,
                                                Steinberg::Linux::TimerInterval milliseconds) override;
    Steinberg::tresult PLUGIN_API unregisterTimer(Steinberg::Linux::ITimerHandler* handler) override;
#endif

    // FUnknown
    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::uint32 PLUGIN_API addRef() override;
    Steinberg::uint32 PLUGIN_API release() override;

#if SMTG_OS_LINUX
    // Host side: the timers and descriptor handlers the view registered.
    RunLoop& runLoop() { return runLoop_; }
#endif
    // Before the window goes: a view that keeps the frame past its removal must
    // neither reach the destroyed window nor keep its handlers alive past its module.
    void detach();

    // Non-owning; null once detached.
    PlatformWindow* window;

private:
    ~Frame() = default;
    std::atomic<Steinberg::uint32> refCount_{1};
    // The control thread, which creates the frame; the only thread allowed to use it.
    std::thread::id owner_ = std::this_thread::get_id();
#if SMTG_OS_LINUX
    RunLoop runLoop_;
#endif
};

} // namespace corvena
