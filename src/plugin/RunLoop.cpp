#include "plugin/RunLoop.h"

#include <poll.h>

#include <algorithm>

namespace corvena {

using namespace Steinberg;

tresult RunLoop::registerEventHandler(Linux::IEventHandler* handler, int fd) {
    if (!handler || fd < 0) return kInvalidArgument;
    for (const FdEntry& e : fds_)
        if (e.handler == handler && e.fd == fd) return kResultTrue;
    fds_.push_back({nextSerial_++, handler, fd});
    return kResultTrue;
}

tresult RunLoop::unregisterEventHandler(Linux::IEventHandler* handler) {
    if (!handler) return kInvalidArgument;
    auto end = std::remove_if(fds_.begin(), fds_.end(),
                              [&](const FdEntry& e) { return e.handler == handler; });
    if (end == fds_.end()) return kResultFalse;
    fds_.erase(end, fds_.end());
    return kResultTrue;
}

tresult RunLoop::registerTimer(Linux::ITimerHandler* handler, uint64_t milliseconds) {
    if (!handler) return kInvalidArgument;
    auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(milliseconds));
    Clock::time_point due = Clock::now() + interval;
    for (TimerEntry& e : timers_) {
        if (e.handler == handler) {
            e.interval = interval;
            e.due = due;
            return kResultTrue;
        }
    }
    timers_.push_back({nextSerial_++, handler, interval, due});
    return kResultTrue;
}

tresult RunLoop::unregisterTimer(Linux::ITimerHandler* handler) {
    if (!handler) return kInvalidArgument;
    auto end = std::remove_if(timers_.begin(), timers_.end(),
                              [&](const TimerEntry& e) { return e.handler == handler; });
    if (end == timers_.end()) return kResultFalse;
    timers_.erase(end, timers_.end());
    return kResultTrue;
}

bool RunLoop::fdRegistered(uint64_t serial) const {
    return std::any_of(fds_.begin(), fds_.end(), [&](const FdEntry& e) { return e.serial == serial; });
}

RunLoop::TimerEntry* RunLoop::findTimer(uint64_t serial) {
    for (TimerEntry& e : timers_)
        if (e.serial == serial) return &e;
    return nullptr;
}

void RunLoop::service(Clock::time_point now) {
    // Callbacks may change the registrations, so work on copies (which also keep
    // each handler alive through its own call) and skip entries removed meanwhile.
    if (!fds_.empty()) {
        std::vector<FdEntry> snapshot = fds_;
        std::vector<pollfd> polled(snapshot.size());
        for (size_t i = 0; i < snapshot.size(); ++i) polled[i] = {snapshot[i].fd, POLLIN, 0};
        if (poll(polled.data(), polled.size(), 0) > 0) {
            for (size_t i = 0; i < snapshot.size(); ++i) {
                short r = polled[i].revents;
                if ((r & POLLNVAL) || !(r & (POLLIN | POLLHUP | POLLERR))) continue;
                if (fdRegistered(snapshot[i].serial)) snapshot[i].handler->onFDIsSet(snapshot[i].fd);
            }
        }
    }
    if (!timers_.empty()) {
        std::vector<std::pair<uint64_t, IPtr<Linux::ITimerHandler>>> due;
        for (TimerEntry& e : timers_) {
            if (now >= e.due) {
                // The next turn counts from now: a late pump never fires a burst.
                e.due = now + e.interval;
                due.emplace_back(e.serial, e.handler);
            }
        }
        for (auto& [serial, handler] : due)
            if (findTimer(serial)) handler->onTimer();
    }
}

void RunLoop::clear() {
    // Move out first: releasing a handler may call back into this run loop.
    std::vector<FdEntry> fds;
    std::vector<TimerEntry> timers;
    fds.swap(fds_);
    timers.swap(timers_);
}

} // namespace corvena
