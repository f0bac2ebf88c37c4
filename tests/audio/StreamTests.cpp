// Devices and the duplex stream through the real engine process on a private
// JACK dummy server (48000 Hz, 128 frames, 2 in / 2 out).
#include "AudioSession.h"

#include <gtest/gtest.h>

using namespace corvena::test;
using namespace std::chrono_literals;

static auto* const jackEnv = ::testing::AddGlobalTestEnvironment(new JackEnvironment);

TEST(Devices, JackServerIsListedWithItsFormatAndStableIds) {
    AudioSession engine;
    ASSERT_TRUE(engine.ready());
    json first = engine.request({{"cmd", "listDevices"}});
    ASSERT_TRUE(first["ok"].get<bool>());
    ASSERT_EQ(first["devices"], engine.request({{"cmd", "listDevices"}})["devices"]);
    // JACK devices come first: the library lists its back ends in that order.
    EXPECT_EQ(first["devices"][0]["api"], "jack");
    const json* system = nullptr;
    for (const auto& d : first["devices"])
        if (d["api"] == "jack" && d["name"] == "system") system = &d;
    ASSERT_NE(system, nullptr) << first.dump();
    const json expected = {{"inputChannels", 2}, {"outputChannels", 2}, {"preferredSampleRate", 48000},
                           {"sampleRates", {48000}}, {"isDefaultInput", true}, {"isDefaultOutput", true}};
    for (const auto& [key, value] : expected.items()) EXPECT_EQ((*system)[key], value) << key;
    EXPECT_EQ(engine.quit(), 0);
}

TEST(Open, ReportsWhatTheServerGrantsWhateverWasAsked) {
    AudioSession engine;
    ASSERT_TRUE(engine.ready());
    EXPECT_TRUE(engine.request({{"cmd", "close"}})["ok"].get<bool>()) << "close without a stream is harmless";
    for (const json& ask : {json{{"cmd", "open"}},
                            json{{"cmd", "open"}, {"api", "jack"}, {"blockSize", 512}},
                            json{{"cmd", "open"}, {"api", "JACK"}, {"blockSize", 32}, {"inputChannel", 5},
                                 {"outputChannel", 5}}}) {
        SCOPED_TRACE(ask.dump());
        json r = engine.request(ask);
        ASSERT_TRUE(r["ok"].get<bool>()) << r.dump();
        EXPECT_EQ(r["api"], "jack");
        EXPECT_EQ(r["sampleRate"], 48000);
        EXPECT_EQ(r["blockSize"], 128);
        EXPECT_EQ(channelsOf(r), (std::vector<int>{2, ask.value("inputChannel", 0) == 5 ? 1 : 0, 2, 0}));
        const double frames = r["latencyFrames"].get<double>();
        EXPECT_GT(frames, 0.0);
        EXPECT_DOUBLE_EQ(r["latencyMs"].get<double>(), frames / 48000.0 * 1000.0);
        EXPECT_EQ(r["latencyEstimated"], false) << "JACK's own figure";
        EXPECT_EQ(engine.request({{"cmd", "status"}})["blockSize"], 128);
    }
    // Three opens in a row leave one stream: one JACK client with 2 in and 2 out.
    JackPeer peer(JackEnvironment::server().name(), "OpenWatcher", 0, 0);
    ASSERT_TRUE(peer.ok());
    EXPECT_EQ(peer.ports("^Corvena").size(), 4u);
    EXPECT_EQ(peer.connections("Corvena:outport 0"), std::vector<std::string>{"system:playback_1"});

    EXPECT_TRUE(engine.request({{"cmd", "close"}})["ok"].get<bool>());
    EXPECT_TRUE(engine.request({{"cmd", "close"}})["ok"].get<bool>());
    EXPECT_FALSE(engine.request({{"cmd", "status"}})["open"].get<bool>());
    EXPECT_TRUE(peer.ports("^Corvena").empty());
    // The selected channel survives a close, clamped to the last opened count.
    EXPECT_EQ(engine.request({{"cmd", "inputChannel"}, {"channel", 9}})["inputChannel"], 1);
    EXPECT_EQ(engine.quit(), 0);
}

TEST(Open, FailuresReportTheirMessageAndLeaveTheEngineClosed) {
    AudioSession engine;
    ASSERT_TRUE(engine.ready());
    JackPeer peer(JackEnvironment::server().name(), "FailWatcher", 0, 0);
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());
    // The unknown name is echoed as received; the running stream is gone anyway.
    EXPECT_EQ(engine.process().request(R"({"id":"x","cmd":"open","api":"Foo"})"),
              R"({"error":"unknown audio API: Foo","id":"x","ok":false})");
    EXPECT_TRUE(peer.ports("^Corvena").empty());

    for (const json& ask : {json{{"cmd", "open"}, {"api", "jack"}, {"inputDevice", 9}},
                            json{{"cmd", "open"}, {"api", "jack"}, {"outputDevice", 4000000000u}},
                            json{{"cmd", "open"}, {"api", "jack"}, {"sampleRate", 44100}}}) {
        SCOPED_TRACE(ask.dump());
        ASSERT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());
        json r = engine.request(ask);
        EXPECT_FALSE(r["ok"].get<bool>());
        // The library's own text, not one of the engine's fallbacks.
        EXPECT_NE(r["error"].get<std::string>().find("RtApi"), std::string::npos) << r.dump();
        json status = engine.request({{"cmd", "status"}});
        EXPECT_EQ(json({status["open"], status["sampleRate"], status["blockSize"]}), json({false, 0, 0}));
        EXPECT_TRUE(peer.ports("^Corvena").empty());
        EXPECT_FALSE(engine.nextLevel(200ms).has_value());
    }
    EXPECT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>()) << "a failed open is no obstacle";
    EXPECT_EQ(engine.quit(), 0);
}

// Every 50 ms while open, with an xrun the server reports in the next one, none after close.
// Also: the control thread sleeps while there is nothing to do, and wakes
// for little more than the level events while a stream is open.
TEST(Levels, ArriveWhileOpenCarryXrunsAndStopAfterClose) {
    AudioSession engine;
    ASSERT_TRUE(engine.ready());
    const long idleStart = engine.process().mainThreadWakeups();
    EXPECT_FALSE(engine.nextLevel(3000ms).has_value());
    EXPECT_LE(engine.process().mainThreadWakeups() - idleStart, 3) << "idle: at most once a second";
    ASSERT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());
    std::vector<std::chrono::steady_clock::time_point> times;
    long streamingStart = 0;
    for (int i = 0; i < 41; ++i) {
        auto level = engine.nextLevel();
        ASSERT_TRUE(level.has_value());
        times.push_back(std::chrono::steady_clock::now());
        if (i == 0) streamingStart = engine.process().mainThreadWakeups();
        EXPECT_EQ((*level)["inputs"].size(), 2u);
        EXPECT_FALSE(level->contains("frames"));
    }
    const double seconds = std::chrono::duration<double>(times.back() - times.front()).count();
    EXPECT_GE(seconds / 40, 0.049);
    EXPECT_LE(seconds / 40, 0.062);
    EXPECT_LE(engine.process().mainThreadWakeups() - streamingStart, 25 * seconds) << "streaming, no editor";

    JackPeer late(JackEnvironment::server().name(), "LatePeer", 0, 0);
    ASSERT_TRUE(late.ok());
    // Joining clients disturb the graph; wait until the counts are quiet.
    int quiet = 0;
    for (int i = 0; i < 60 && quiet < 4; ++i) {
        auto level = engine.nextLevel();
        ASSERT_TRUE(level.has_value());
        quiet = level->contains("xruns") ? 0 : quiet + 1;
    }
    ASSERT_EQ(quiet, 4) << "xruns never stopped";
    late.stallOnce(60ms);
    uint64_t reported = 0;
    for (int i = 0; i < 20 && reported == 0; ++i) {
        auto level = engine.nextLevel();
        ASSERT_TRUE(level.has_value());
        reported = level->value("xruns", 0u);
    }
    EXPECT_GE(reported, 1u);
    EXPECT_GE(late.xruns(), 1u) << "the server saw the late client";

    engine.request({{"cmd", "close"}});
    EXPECT_FALSE(engine.nextLevel(400ms).has_value());
    EXPECT_EQ(engine.quit(), 0);
}
