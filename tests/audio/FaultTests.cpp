// The JACK server dying under a running stream.
#include "AudioSession.h"

#include <gtest/gtest.h>

#include <thread>

using namespace corvena::test;
using namespace std::chrono_literals;

namespace {
struct Faults : ::testing::Test {
    JackServer& server = JackEnvironment::server();
    AudioSession engine;
    void SetUp() override {
        ASSERT_TRUE(engine.ready());
        ASSERT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());
        ASSERT_TRUE(engine.nextLevel().has_value());
    }
    void TearDown() override { // the tests that follow need the binary's server
        if (!server.running()) server.start();
    }
};
} // namespace

TEST_F(Faults, ServerKilledWhileStreamingThenRestarted) {
    server.kill();
    // Every request is still answered; level events keep coming or stop, but
    // nothing else appears on the protocol.
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(engine.request({{"cmd", "ping"}})["pong"], true);
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(engine.request({{"cmd", "listDevices"}})["ok"].get<bool>());
    EXPECT_FALSE(engine.request({{"cmd", "open"}, {"api", "jack"}})["ok"].get<bool>()) << "no server to open";
    EXPECT_TRUE(engine.request({{"cmd", "close"}})["ok"].get<bool>());
    EXPECT_FALSE(engine.request({{"cmd", "status"}})["open"].get<bool>());

    ASSERT_TRUE(server.start()) << server.log();
    json r = engine.request({{"cmd", "open"}, {"api", "jack"}});
    ASSERT_TRUE(r["ok"].get<bool>()) << r.dump();
    JackPeer peer(server.name(), "AfterRestart");
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(peer.connectToEngine());
    peer.setSine(0, 220.0f, 0.4f);
    EXPECT_NEAR(engine.levelAfter(200ms)["in"].get<double>(), 0.4, 0.01);
    EXPECT_EQ(engine.quit(), 0);
}

TEST_F(Faults, OpenWithoutCloseAfterARestartAndQuitRightAfterADeath) {
    server.kill();
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(server.start()) << server.log();
    // open closes the dead stream itself before opening the new one.
    json r = engine.request({{"cmd", "open"}});
    EXPECT_TRUE(r["ok"].get<bool>()) << r.dump();
    EXPECT_TRUE(engine.nextLevel().has_value());
    server.kill();
    EXPECT_EQ(engine.quit(), 0);
}
