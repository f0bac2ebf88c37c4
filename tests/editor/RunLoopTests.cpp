#include "plugin/RunLoop.h"
#include "TestHandlers.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace std::chrono_literals;
using corvena::RunLoop;
using corvena::test::TestFdHandler;
using corvena::test::TestTimer;
using namespace Steinberg;

namespace {

struct Pipe {
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        if (fds[0] >= 0) close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
    }
    void put() { ASSERT_EQ(write(fds[1], "x", 1), 1); }
    void take() {
        char c;
        ASSERT_EQ(read(fds[0], &c, 1), 1);
    }
    int fds[2] = {-1, -1};
};

} // namespace

TEST(RunLoop, TimerFiresOncePerIntervalAndNeverInABurst) {
    TestTimer timer;
    RunLoop loop; // after the handlers: it releases them when it goes
    auto start = RunLoop::Clock::now();
    ASSERT_EQ(loop.registerTimer(&timer, 20), kResultTrue);
    loop.service(start); // not yet due
    EXPECT_EQ(timer.calls, 0);
    loop.service(start + 25ms);
    EXPECT_EQ(timer.calls, 1);
    loop.service(start + 30ms); // next turn is counted from the last firing
    EXPECT_EQ(timer.calls, 1);
    // A pump that comes a whole second late fires the timer once, not fifty times.
    loop.service(start + 1025ms);
    EXPECT_EQ(timer.calls, 2);
    loop.service(start + 1046ms);
    EXPECT_EQ(timer.calls, 3);
}

TEST(RunLoop, RegistrationResultsAndReRegistration) {
    TestTimer timer;
    TestFdHandler handler;
    RunLoop loop; // after the handlers: it releases them when it goes
    EXPECT_EQ(loop.registerTimer(nullptr, 10), kInvalidArgument);
    EXPECT_EQ(loop.registerEventHandler(nullptr, 0), kInvalidArgument);
    EXPECT_EQ(loop.registerEventHandler(&handler, -1), kInvalidArgument);
    EXPECT_EQ(loop.unregisterTimer(&timer), kResultFalse);
    EXPECT_EQ(loop.unregisterEventHandler(&handler), kResultFalse);

    // Registering the same timer again changes its interval instead of doubling it.
    auto start = RunLoop::Clock::now();
    loop.registerTimer(&timer, 1000);
    loop.registerTimer(&timer, 5);
    EXPECT_EQ(loop.timerCount(), 1u);
    loop.service(start + 10ms);
    EXPECT_EQ(timer.calls, 1);

    // The loop holds a reference on every registered handler while it is registered.
    EXPECT_EQ(timer.refs, 2u);
    EXPECT_EQ(loop.unregisterTimer(&timer), kResultTrue);
    EXPECT_EQ(timer.refs, 1u);
    loop.service(start + 1h);
    EXPECT_EQ(timer.calls, 1);
}

TEST(RunLoop, DescriptorHandlerIsCalledOnlyWhenReadable) {
    TestFdHandler handler;
    Pipe a, b;
    RunLoop loop; // after the handlers: it releases them when it goes
    handler.action = [&](int fd) {
        char c;
        ASSERT_EQ(read(fd, &c, 1), 1);
    };
    loop.registerEventHandler(&handler, a.fds[0]);
    loop.registerEventHandler(&handler, b.fds[0]);
    loop.registerEventHandler(&handler, b.fds[0]); // the same pair twice counts once
    EXPECT_EQ(loop.eventHandlerCount(), 2u);

    loop.service();
    EXPECT_TRUE(handler.fds.empty());
    b.put();
    loop.service();
    ASSERT_EQ(handler.fds.size(), 1u);
    EXPECT_EQ(handler.fds[0], b.fds[0]);
    loop.service(); // the byte was read: nothing pending any more
    EXPECT_EQ(handler.fds.size(), 1u);

    // One unregister removes every descriptor of the handler.
    EXPECT_EQ(loop.unregisterEventHandler(&handler), kResultTrue);
    EXPECT_EQ(loop.eventHandlerCount(), 0u);
    a.put();
    loop.service();
    EXPECT_EQ(handler.fds.size(), 1u);
}

TEST(RunLoop, ClosedDescriptorIsNotReported) {
    TestFdHandler handler;
    Pipe p;
    RunLoop loop; // after the handlers: it releases them when it goes
    loop.registerEventHandler(&handler, p.fds[0]);
    close(p.fds[0]);
    p.fds[0] = -1;
    loop.service();
    EXPECT_TRUE(handler.fds.empty());
}

TEST(RunLoop, HandlersMayUnregisterThemselvesAndOthersFromACallback) {
    TestTimer first, second, third;
    bool firstDestroyed = false;
    RunLoop loop; // after the handlers: it releases them when it goes
    first.destroyed = &firstDestroyed;
    // `first` drops its own registration and its creator's reference inside its call:
    // the loop must keep it alive until the call returns, and must not call
    // `second`, which `first` unregistered although it was due in the same turn.
    first.action = [&] {
        loop.unregisterTimer(&first);
        loop.unregisterTimer(&second);
        first.release();
        loop.registerTimer(&third, 0);
    };
    auto start = RunLoop::Clock::now();
    loop.registerTimer(&first, 1);
    loop.registerTimer(&second, 1);
    loop.service(start + 5ms);
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 0);
    EXPECT_FALSE(first.destroyedDuringCall);
    EXPECT_TRUE(firstDestroyed);
    EXPECT_EQ(third.calls, 0); // registered during the turn: fires from the next one
    loop.service(start + 10ms);
    EXPECT_EQ(third.calls, 1);
    EXPECT_EQ(first.calls, 1);
}

TEST(RunLoop, ClearReleasesEveryHandler) {
    TestTimer timer;
    TestFdHandler handler;
    Pipe p;
    RunLoop loop; // after the handlers: it releases them when it goes
    loop.registerTimer(&timer, 10);
    loop.registerEventHandler(&handler, p.fds[0]);
    EXPECT_EQ(timer.refs, 2u);
    EXPECT_EQ(handler.refs, 2u);
    loop.clear();
    EXPECT_EQ(timer.refs, 1u);
    EXPECT_EQ(handler.refs, 1u);
    EXPECT_EQ(loop.timerCount() + loop.eventHandlerCount(), 0u);
    p.put();
    loop.service(RunLoop::Clock::now() + 1h);
    EXPECT_EQ(timer.calls, 0);
    EXPECT_TRUE(handler.fds.empty());
}
