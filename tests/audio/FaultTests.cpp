// The JACK server dying under a running stream.
#include "AudioSession.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
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
    // Every request is still answered (the stream's end is an event, see below).
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

// The dead stream is reported once, closed, and the take it fed is finalised
// with what it holds, for `stop` to report.
TEST_F(Faults, ServerKilledUnderATakeIsAStreamErrorAndTheTakeIsKept) {
    const std::string di = freshTempDir("fault-take") + "/di.wav";
    ASSERT_TRUE(engine.request({{"cmd", "record"}, {"diPath", di}})["ok"].get<bool>());
    uint64_t frames = 0;
    for (int i = 0; i < 100 && frames < 4800; ++i) frames = engine.nextLevel().value_or(json::object()).value("frames", 0u);
    ASSERT_GE(frames, 4800u);
    server.kill();

    const auto failure = engine.nextEvent("streamError", 5s);
    ASSERT_TRUE(failure.has_value());
    EXPECT_FALSE(failure->value("error", "").empty());
    const json status = engine.request({{"cmd", "status"}});
    EXPECT_FALSE(status["open"].get<bool>()) << status.dump();
    EXPECT_FALSE(status["recording"].get<bool>());
    const json stop = engine.request({{"cmd", "stop"}});
    EXPECT_FALSE(stop["ok"].get<bool>());
    EXPECT_EQ(stop.value("error", "").rfind("the audio stream failed during the take: ", 0), 0u) << stop.dump();
    frames = stop["frames"].get<uint64_t>();
    EXPECT_GE(frames, 4800u);
    std::ifstream file(di, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    ASSERT_EQ(bytes.size(), 44 + 3 * frames) << "a complete 24-bit mono WAV file";
    EXPECT_EQ(static_cast<uint8_t>(bytes[40]) | static_cast<uint8_t>(bytes[41]) << 8 | static_cast<uint8_t>(bytes[42]) << 16,
              3 * frames % (1 << 24));
    EXPECT_EQ(engine.request({{"cmd", "stop"}})["error"], "not recording");
    EXPECT_FALSE(engine.nextLevel(300ms).has_value()) << "no level events without a stream";
    EXPECT_FALSE(engine.nextEvent("streamError", 0ms).has_value()) << "reported once";
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
