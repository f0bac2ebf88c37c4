#include "plugin/RunLoop.h"
#include "TestHandlers.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace std::chrono_literals;
using corvena::RunLoop;
using Handler = corvena::test::TestHandler;
using namespace Steinberg;

// In every test the loop is declared after the handlers: it releases them when it goes.

TEST(RunLoop, TimersFireOncePerIntervalNeverInABurst) {
    Handler timer;
    RunLoop loop;
    EXPECT_EQ(loop.registerTimer(nullptr, 10), kInvalidArgument);
    // Times are taken after registering, with wide margins: the machine may be busy.
    ASSERT_EQ(loop.registerTimer(&timer, 200), kResultTrue);
    auto start = RunLoop::Clock::now();
    EXPECT_EQ(timer.refs, 2u); // held while registered
    loop.service(start);       // not yet due
    EXPECT_EQ(timer.calls, 0);
    loop.service(start + 250ms);
    loop.service(start + 300ms); // the next turn counts from the last firing
    EXPECT_EQ(timer.calls, 1);
    loop.service(start + 10s); // a pump seconds late fires once, not fifty times
    EXPECT_EQ(timer.calls, 2);
    loop.service(start + 10210ms);
    EXPECT_EQ(timer.calls, 3);

    // Registering again changes the interval instead of adding a second timer.
    loop.registerTimer(&timer, 100000);
    loop.registerTimer(&timer, 5);
    EXPECT_EQ(loop.timerCount(), 1u);
    loop.service(RunLoop::Clock::now() + 10ms);
    EXPECT_EQ(timer.calls, 4);
    EXPECT_EQ(loop.unregisterTimer(&timer), kResultTrue);
    EXPECT_EQ(timer.refs, 1u);
    loop.service(start + 1h);
    EXPECT_EQ(timer.calls, 4);
}

TEST(RunLoop, DescriptorHandlersAreCalledOnlyWhenReadable) {
    Handler handler;
    int a[2], b[2], c[2];
    ASSERT_EQ(pipe(a) | pipe(b) | pipe(c), 0);
    RunLoop loop;
    EXPECT_EQ(loop.registerEventHandler(nullptr, 0), kInvalidArgument);
    loop.registerEventHandler(&handler, a[0]);
    loop.registerEventHandler(&handler, b[0]);
    loop.registerEventHandler(&handler, b[0]); // the same pair twice counts once
    EXPECT_EQ(loop.eventHandlerCount(), 2u);
    loop.service();
    EXPECT_TRUE(handler.fds.empty());
    ASSERT_EQ(write(b[1], "x", 1), 1);
    loop.service();
    loop.service(); // the byte was read: nothing pending any more
    EXPECT_EQ(handler.fds, std::vector<int>{b[0]});

    // One unregister removes every descriptor of the handler.
    EXPECT_EQ(loop.unregisterEventHandler(&handler), kResultTrue);
    EXPECT_EQ(loop.eventHandlerCount(), 0u);
    ASSERT_EQ(write(a[1], "x", 1), 1);
    loop.service();
    EXPECT_EQ(handler.fds.size(), 1u);

    // A descriptor closed behind the loop's back is not reported.
    loop.registerEventHandler(&handler, c[0]);
    close(c[0]);
    loop.service();
    EXPECT_EQ(handler.fds.size(), 1u);

    for (int fd : {a[0], a[1], b[0], b[1], c[1]}) close(fd);
}

TEST(RunLoop, HandlersMayUnregisterThemselvesAndOthersFromACallback) {
    Handler first, second, third;
    RunLoop loop;
    // `first` drops its registration and its creator's reference inside its call:
    // the loop must keep it alive until the call returns, and must not call
    // `second`, unregistered by `first` although due in the same turn.
    first.action = [&] {
        loop.unregisterTimer(&first);
        loop.unregisterTimer(&second);
        first.release();
        loop.registerTimer(&third, 0);
    };
    loop.registerTimer(&first, 1);
    loop.registerTimer(&second, 1);
    auto start = RunLoop::Clock::now();
    loop.service(start + 5ms);
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 0);
    EXPECT_FALSE(first.destroyedDuringCall);
    EXPECT_TRUE(first.destroyed);
    EXPECT_EQ(third.calls, 0); // registered during the turn: fires from the next one
    loop.service(RunLoop::Clock::now() + 1s);
    EXPECT_EQ(third.calls, 1);
    EXPECT_EQ(first.calls, 1);
}
