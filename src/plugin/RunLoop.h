#pragma once
#include <pluginterfaces/gui/iplugview.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace corvena {

// The host run loop that Linux plug-in views rely on: timers and file-descriptor
// handlers, serviced from the control thread by the editor pump without waiting.
// Handlers may register and unregister (themselves or others) from inside a callback.
class RunLoop {
public:
    using Clock = std::chrono::steady_clock;

    RunLoop() = default;
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    Steinberg::tresult registerEventHandler(Steinberg::Linux::IEventHandler* handler, int fd);
    // Removes every descriptor registered for `handler`.
    Steinberg::tresult unregisterEventHandler(Steinberg::Linux::IEventHandler* handler);
    // Registering a handler again changes its interval.
    Steinberg::tresult registerTimer(Steinberg::Linux::ITimerHandler* handler, uint64_t milliseconds);
    Steinberg::tresult unregisterTimer(Steinberg::Linux::ITimerHandler* handler);

    // Calls the handlers of readable descriptors and the timers that are due; never waits.
    void service(Clock::time_point now = Clock::now());
    // Drops every registration (and the references held on the handlers).
    void clear();

private:
    struct FdEntry {
        uint64_t serial;
        Steinberg::IPtr<Steinberg::Linux::IEventHandler> handler;
        int fd;
    };
    struct TimerEntry {
        uint64_t serial;
        Steinberg::IPtr<Steinberg::Linux::ITimerHandler> handler;
        Clock::duration interval;
        Clock::time_point due;
    };
    bool fdRegistered(uint64_t serial) const;
    TimerEntry* findTimer(uint64_t serial);

    std::vector<FdEntry> fds_;
    std::vector<TimerEntry> timers_;
    uint64_t nextSerial_ = 1;
};

} // namespace corvena
