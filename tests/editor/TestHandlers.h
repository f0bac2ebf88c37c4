#pragma once
// A reference-counted run-loop handler (timer and descriptor) for the tests.
#include <pluginterfaces/gui/iplugview.h>

#include <functional>
#include <vector>
#include <unistd.h>

namespace corvena::test {

class TestHandler : public Steinberg::Linux::ITimerHandler, public Steinberg::Linux::IEventHandler {
public:
    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID, void** obj) override {
        *obj = nullptr; // the run loop only holds and calls its handlers
        return Steinberg::kNoInterface;
    }
    Steinberg::uint32 PLUGIN_API addRef() override { return ++refs; }
    Steinberg::uint32 PLUGIN_API release() override {
        if (--refs == 0) {
            destroyed = true;
            destroyedDuringCall = inCall; // would be a use after free
        }
        return refs;
    }
    void PLUGIN_API onTimer() override {
        inCall = true;
        ++calls;
        if (action) action();
        inCall = false;
    }
    void PLUGIN_API onFDIsSet(Steinberg::Linux::FileDescriptor fd) override {
        fds.push_back(fd);
        char c;
        [[maybe_unused]] ssize_t n = read(fd, &c, 1); // or it stays readable
    }
    Steinberg::uint32 refs = 1;
    int calls = 0;
    std::vector<int> fds;
    std::function<void()> action;
    bool inCall = false, destroyed = false, destroyedDuringCall = false;
};

} // namespace corvena::test
