// Devices and the duplex stream through the real engine process on a private
// JACK dummy server (48000 Hz, 128 frames, 2 in / 2 out).
#include "AudioSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace corvena::test;
using namespace std::chrono_literals;

static auto* const jackEnv = ::testing::AddGlobalTestEnvironment(new JackEnvironment);

namespace {

int countClient(const JackPeer& peer, const std::string& prefix) {
    int n = 0;
    for (const auto& c : jackClients(peer)) n += c.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

} // namespace

TEST(Devices, JackServerIsListedWithItsFormatAndStableIds) {
    AudioSession engine;
    ASSERT_TRUE(engine.ready());
    json first = engine.request({{"cmd", "listDevices"}});
    json second = engine.request({{"cmd", "listDevices"}});
    ASSERT_TRUE(first["ok"].get<bool>());
    ASSERT_EQ(first["devices"], second["devices"]);

    const json* system = nullptr;
    for (const auto& d : first["devices"])
        if (d["api"] == "jack" && d["name"] == "system") system = &d;
    ASSERT_NE(system, nullptr) << first.dump();
    EXPECT_EQ((*system)["inputChannels"], 2);
    EXPECT_EQ((*system)["outputChannels"], 2);
    EXPECT_EQ((*system)["preferredSampleRate"], 48000);
    EXPECT_EQ((*system)["sampleRates"], json::array({48000}));
    EXPECT_TRUE((*system)["isDefaultInput"].get<bool>());
    EXPECT_TRUE((*system)["isDefaultOutput"].get<bool>());
    // JACK devices come first: the library lists its back ends in that order.
    EXPECT_EQ(first["devices"][0]["api"], "jack");
    EXPECT_EQ(engine.quit(), 0);
}

TEST(Devices, EngineUsesTheServerItIsGivenNotTheBinarysOwn) {
    JackServer other("other");
    JackServer::Options options;
    options.captureChannels = 4;
    ASSERT_TRUE(other.start(options)) << other.log();
    EngineProcess process(CORVENA_AUDIO_BINARY, other.environment());
    ASSERT_TRUE(process.readLine().has_value());
    json devices = json::parse(process.request(R"({"cmd":"listDevices"})"))["devices"];
    ASSERT_FALSE(devices.empty());
    EXPECT_EQ(devices[0]["inputChannels"], 4);
}

TEST(Open, ReportsWhatTheServerGrantsWhateverWasAsked) {
    AudioSession engine;
    ASSERT_TRUE(engine.ready());
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
        EXPECT_EQ(r["inputChannelCount"], 2);
        EXPECT_EQ(r["inputChannel"], ask.value("inputChannel", 0) == 5 ? 1 : 0);
        EXPECT_EQ(r["outputChannelCount"], 2);
        EXPECT_EQ(r["outputChannel"], 0);
        const double frames = r["latencyFrames"].get<double>();
        EXPECT_GT(frames, 0.0);
        EXPECT_DOUBLE_EQ(r["latencyMs"].get<double>(), frames / 48000.0 * 1000.0);
        json status = engine.request({{"cmd", "status"}});
        EXPECT_TRUE(status["open"].get<bool>());
        EXPECT_EQ(status["blockSize"], 128);
    }
    // Three opens in a row leave one stream: one JACK client with 2 in and 2 out.
    JackPeer peer(JackEnvironment::server().name(), "OpenWatcher", 0, 0);
    ASSERT_TRUE(peer.ok());
    EXPECT_EQ(countClient(peer, "Corvena"), 1);
    EXPECT_EQ(peer.ports("^Corvena:").size(), 4u);
    EXPECT_EQ(peer.connections("Corvena:outport 0"), std::vector<std::string>{"system:playback_1"});

    engine.request({{"cmd", "close"}});
    EXPECT_FALSE(engine.request({{"cmd", "status"}})["open"].get<bool>());
    EXPECT_EQ(countClient(peer, "Corvena"), 0);
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
    EXPECT_EQ(countClient(peer, "Corvena"), 0);
    EXPECT_EQ(engine.request({{"cmd", "open"}, {"api", "unspecified"}})["error"], "unknown audio API: unspecified");

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
        EXPECT_FALSE(status["open"].get<bool>());
        EXPECT_EQ(status["sampleRate"], 0);
        EXPECT_EQ(status["blockSize"], 0);
        EXPECT_EQ(countClient(peer, "Corvena"), 0);
        EXPECT_FALSE(engine.nextLevel(200ms).has_value());
    }
    // A failed open is no obstacle to the next one.
    EXPECT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());
    EXPECT_EQ(engine.quit(), 0);
}

TEST(Open, CloseIsHarmlessWithoutAStreamAndTwice) {
    AudioSession engine;
    ASSERT_TRUE(engine.ready());
    EXPECT_TRUE(engine.request({{"cmd", "close"}})["ok"].get<bool>());
    ASSERT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());
    EXPECT_TRUE(engine.request({{"cmd", "close"}})["ok"].get<bool>());
    EXPECT_TRUE(engine.request({{"cmd", "close"}})["ok"].get<bool>());
    // The selected channel survives a close, clamped to the last opened count.
    EXPECT_EQ(engine.request({{"cmd", "inputChannel"}, {"channel", 9}})["inputChannel"], 1);
    EXPECT_EQ(engine.quit(), 0);
}

TEST(Levels, ArriveEveryFiftyMillisecondsWhileOpenAndStopAfterClose) {
    AudioSession engine;
    ASSERT_TRUE(engine.ready());
    EXPECT_FALSE(engine.nextLevel(300ms).has_value());
    ASSERT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());

    std::vector<std::chrono::steady_clock::time_point> times;
    for (int i = 0; i < 21; ++i) {
        auto level = engine.nextLevel();
        ASSERT_TRUE(level.has_value());
        times.push_back(std::chrono::steady_clock::now());
        EXPECT_EQ((*level)["inputs"].size(), 2u);
        EXPECT_FALSE(level->contains("frames"));
    }
    const double meanMs =
        std::chrono::duration<double, std::milli>(times.back() - times.front()).count() / (times.size() - 1);
    EXPECT_GE(meanMs, 49.0);
    EXPECT_LE(meanMs, 62.0);

    engine.request({{"cmd", "close"}});
    EXPECT_FALSE(engine.nextLevel(400ms).has_value());
    EXPECT_EQ(engine.quit(), 0);
}

TEST(Levels, AnXrunReportedByTheServerReachesTheNextLevelEvent) {
    AudioSession engine;
    ASSERT_TRUE(engine.ready());
    ASSERT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());
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
    EXPECT_GE(late.xruns(), 1u);
    EXPECT_EQ(engine.quit(), 0);
}

TEST(Open, IsRefusedWhileRecordingAndTheTakeGoesOn) {
    AudioSession engine;
    ASSERT_TRUE(engine.ready());
    ASSERT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());
    JackPeer peer(JackEnvironment::server().name(), "TakePeer");
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(peer.connectToEngine());
    peer.setSine(0, 220.0f, 0.3f);

    const std::string dir = freshTempDir("open-while-recording");
    json r = engine.request({{"cmd", "record"}, {"diPath", dir + "/di.wav"}, {"wetPath", dir + "/wet.wav"}});
    ASSERT_TRUE(r["ok"].get<bool>()) << r.dump();
    engine.settle(150ms);

    r = engine.request({{"cmd", "open"}, {"blockSize", 256}});
    EXPECT_EQ(r["ok"], false);
    EXPECT_EQ(r["error"], "cannot open a stream while recording");
    // Same stream, same take: still one client, frames still growing, input still metered.
    EXPECT_EQ(jackClients(peer).size(), 3u); // system, Corvena, TakePeer
    json status = engine.request({{"cmd", "status"}});
    EXPECT_TRUE(status["open"].get<bool>());
    EXPECT_TRUE(status["recording"].get<bool>());
    engine.settle(150ms);
    auto level = engine.nextLevel();
    ASSERT_TRUE(level.has_value());
    EXPECT_GT((*level)["frames"].get<uint64_t>(), status["frames"].get<uint64_t>());
    EXPECT_NEAR((*level)["in"].get<double>(), 0.3, 0.01);

    // Closing keeps the take; it simply receives nothing more until it is stopped.
    EXPECT_TRUE(engine.request({{"cmd", "close"}})["ok"].get<bool>());
    const uint64_t atClose = engine.request({{"cmd", "status"}})["frames"].get<uint64_t>();
    std::this_thread::sleep_for(200ms);
    status = engine.request({{"cmd", "status"}});
    EXPECT_TRUE(status["recording"].get<bool>());
    EXPECT_EQ(status["frames"].get<uint64_t>(), atClose);
    r = engine.request({{"cmd", "stop"}});
    EXPECT_TRUE(r["ok"].get<bool>()) << r.dump();
    EXPECT_EQ(r["frames"].get<uint64_t>(), atClose);

    EXPECT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());
    EXPECT_EQ(engine.quit(), 0);
}
