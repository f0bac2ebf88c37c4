#pragma once
// Small reference-counted run-loop handlers for the tests.
#include <pluginterfaces/gui/iplugview.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace corvena::test {

template <class Interface>
class CountedHandler : public Interface {
public:
    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override {
        if (Steinberg::FUnknownPrivate::iidEqual(iid, Interface::iid) ||
            Steinberg::FUnknownPrivate::iidEqual(iid, Steinberg::FUnknown::iid)) {
            addRef();
            *obj = static_cast<Interface*>(this);
            return Steinberg::kResultOk;
        }
        *obj = nullptr;
        return Steinberg::kNoInterface;
    }
    Steinberg::uint32 PLUGIN_API addRef() override { return ++refs; }
    Steinberg::uint32 PLUGIN_API release() override {
        Steinberg::uint32 r = --refs;
        if (r == 0) {
            if (inCall) destroyedDuringCall = true; // would be a use after free
            if (destroyed) *destroyed = true;
        }
        return r;
    }
    std::atomic<Steinberg::uint32> refs{1};
    bool inCall = false;
    bool destroyedDuringCall = false;
    bool* destroyed = nullptr;
};

class TestTimer : public CountedHandler<Steinberg::Linux::ITimerHandler> {
public:
    void PLUGIN_API onTimer() override {
        inCall = true;
        ++calls;
        if (action) action();
        inCall = false;
    }
    int calls = 0;
    std::function<void()> action;
};

class TestFdHandler : public CountedHandler<Steinberg::Linux::IEventHandler> {
public:
    void PLUGIN_API onFDIsSet(Steinberg::Linux::FileDescriptor fd) override {
        inCall = true;
        fds.push_back(fd);
        if (action) action(fd);
        inCall = false;
    }
    std::vector<int> fds;
    std::function<void(int)> action;
};

} // namespace corvena::test
