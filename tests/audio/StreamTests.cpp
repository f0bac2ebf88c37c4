// Devices, the duplex stream and its sound through the real engine process on a
// private JACK dummy server (48000 Hz, 1024 frames, 2 in / 2 out unless said).
#include "support/EngineProcess.h"
#include "support/JackPeer.h"
#include "support/JackServer.h"
#include "support/Measures.h"
#include "WavFiles.h"

#include <gtest/gtest.h>

using namespace corvena::test;

static std::vector<int> channelsOf(const json& reply) {
    return {reply.value("inputChannelCount", -1), reply.value("inputChannel", -1), reply.value("outputChannelCount", -1),
            reply.value("outputChannel", -1)};
}

TEST(Devices, TheServerIsListedAndOpenReportsWhatItGrants) {
    JackPeer watcher(JackServer::shared().name(), "Watcher", 0, 0);
    EngineProcess engine(JackServer::shared().environment());
    const json first = engine.request({{"cmd", "listDevices"}});
    ASSERT_EQ(first["devices"], engine.request({{"cmd", "listDevices"}})["devices"]) << "stable ids";
    const json& system = first["devices"][0]; // the library's back ends in its order: JACK's first
    const json expected = {{"api", "jack"}, {"name", "system"}, {"inputChannels", 2}, {"outputChannels", 2},
                           {"preferredSampleRate", 48000}, {"sampleRates", {48000}}, {"isDefaultInput", true}, {"isDefaultOutput", true}};
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(system[key], value) << key << " in " << first.dump();

    for (const json& ask : {json{{"cmd", "open"}}, json{{"cmd", "open"}, {"api", "jack"}, {"blockSize", 128}},
                            json{{"cmd", "open"}, {"api", "JACK"}, {"blockSize", 32}, {"inputChannel", 5}, {"outputChannel", 5}}}) {
        const json r = engine.request(ask);
        ASSERT_TRUE(ok(r)) << r.dump();
        EXPECT_EQ(json({r["api"], r["sampleRate"], r["blockSize"]}), json({"jack", 48000, JackServer::shared().options().period}))
            << "the server's, whatever was asked: " << ask.dump();
        EXPECT_EQ(channelsOf(r), (std::vector<int>{2, ask.contains("inputChannel") ? 1 : 0, 2, 0})) << ask.dump();
        EXPECT_DOUBLE_EQ(r["latencyMs"].get<double>(), r["latencyFrames"].get<double>() / 48.0);
        EXPECT_GT(r["latencyFrames"].get<double>(), 0.0);
        EXPECT_EQ(r["latencyEstimated"], false) << "JACK's own figure";
    }
    // Three opens in a row leave one stream: one client with 2 in and 2 out.
    EXPECT_EQ(watcher.ports("^Corvena:").size(), 4u);
    EXPECT_EQ(watcher.connections("Corvena:outport 0"), std::vector<std::string>{"system:playback_1"});
    EXPECT_TRUE(ok(engine.request({{"cmd", "close"}})));
    EXPECT_EQ(engine.request({{"cmd", "status"}})["open"], false);
    EXPECT_TRUE(watcher.ports("^Corvena:").empty());
    EXPECT_EQ(engine.request({{"cmd", "inputChannel"}, {"channel", 9}})["inputChannel"], 1) << "clamped to the last stream";

    // Failures: the library's own text, or the unknown name as received; each
    // leaves the engine closed, the running stream gone, and no level events.
    const std::vector<std::pair<json, std::string>> failures = {
        {{{"cmd", "open"}, {"api", "Foo"}}, "unknown audio API: Foo"},
        {{{"cmd", "open"}, {"api", "jack"}, {"inputDevice", 9}}, "RtApi"},
        {{{"cmd", "open"}, {"api", "jack"}, {"outputDevice", 4000000000u}}, "RtApi"},
        {{{"cmd", "open"}, {"api", "jack"}, {"sampleRate", 44100}}, "RtApi"}};
    for (const auto& [ask, message] : failures) {
        const json opened = engine.request({{"cmd", "open"}});
        ASSERT_TRUE(ok(opened)) << opened.dump() << engine.stderrText();
        const json r = engine.request(ask);
        EXPECT_NE(r.value("error", "").find(message), std::string::npos) << r.dump();
        const json status = engine.request({{"cmd", "status"}});
        EXPECT_EQ(json({status["open"], status["sampleRate"], status["blockSize"]}), json({false, 0, 0}));
        EXPECT_TRUE(watcher.ports("^Corvena:").empty());
        EXPECT_FALSE(engine.nextLevel(200ms));
    }
    EXPECT_EQ(engine.quit(), 0);
}

// Shapes other than 2 in / 2 out, each on a server of its own: at most 64
// inputs, the output pair kept on the device, a mono output refused by the library.
TEST(Devices, ServersOfOtherShapes) {
    struct Row {
        unsigned in, out;
        const char* open;
        std::vector<int> channels; // or empty: refused with `error`
        const char* error;
    };
    const Row rows[] = {
        {80, 4, R"({"cmd":"open","inputChannel":70,"outputChannel":5})", {64, 63, 4, 2}, ""},
        {80, 4, R"({"cmd":"open","inputChannel":3,"outputChannel":1})", {64, 3, 4, 1}, ""},
        {1, 3, R"({"cmd":"open","outputChannel":5,"inputChannel":5})", {1, 0, 3, 1}, ""},
        {2, 1, R"({"cmd":"open","outputChannel":5})", {}, "(2) + offset (0)"},
    };
    std::unique_ptr<JackServer> server;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.open + (" on " + std::to_string(row.in) + " x " + std::to_string(row.out)));
        if (!server || &row == rows || row.in != (&row - 1)->in || row.out != (&row - 1)->out) {
            server.reset(); // one at a time: JACK keeps few servers
            server = std::make_unique<JackServer>(JackServer::Options{48000, 128, row.in, row.out});
        }
        ASSERT_TRUE(server->ok()) << server->log();
        EngineProcess engine(server->environment());
        const json devices = json::parse(engine.request(R"({"cmd":"listDevices"})"))["devices"];
        EXPECT_EQ(json({devices[0]["inputChannels"], devices[0]["outputChannels"]}), json({row.in, row.out}));
        const json r = json::parse(engine.request(row.open));
        if (row.channels.empty()) {
            EXPECT_NE(r.value("error", "").find(row.error), std::string::npos) << r.dump(); // closed after: see the refusals above
        } else {
            EXPECT_EQ(channelsOf(r), row.channels) << r.dump();
            EXPECT_EQ(engine.nextLevel().value_or(json::object())["inputs"].size(), size_t(row.channels[0]));
        }
        EXPECT_EQ(engine.quit(), 0);
    }
}

// While open, no frames, the xruns the server reported since the
// last one; none after close. (None while idle: the protocol tests' silence.)
TEST(Levels, ArriveWhileOpenCarryXrunsAndStopAfterClose) {
    EngineProcess engine(JackServer::shared().environment());
    ASSERT_TRUE(ok(engine.request({{"cmd", "open"}})));
    JackPeer late(JackServer::shared().name(), "LatePeer", 0, 0);
    // Joining clients disturb the graph: wait until the counts are quiet.
    for (int quiet = 0, events = 0; quiet < 4; ++events) {
        const auto level = engine.nextLevel();
        ASSERT_TRUE(level && events < 100);
        EXPECT_FALSE(level->contains("frames"));
        quiet = level->contains("xruns") ? 0 : quiet + 1;
    }
    late.stallOnce(60ms);
    uint64_t reported = 0;
    for (int i = 0; i < 20 && reported == 0; ++i) reported = engine.nextLevel().value_or(json::object()).value("xruns", 0u);
    EXPECT_GE(reported, 1u);
    engine.request({{"cmd", "close"}});
    EXPECT_FALSE(engine.nextLevel(400ms));
    EXPECT_EQ(engine.quit(), 0);
}

// The test's client feeds a 220 Hz sine at 0.5 into input 0 and 1000 Hz at
// 0.25 into input 1: meters follow each channel and the selection, outputs the
// amp, the monitor and the test tone.
TEST(Stream, MetersAndOutputsFollowChannelsAmpMonitorAndTone) {
    EngineProcess engine(JackServer::shared().environment());
    JackPeer peer(JackServer::shared().name());
    ASSERT_TRUE(ok(engine.request({{"cmd", "open"}})));
    ASSERT_TRUE(peer.connectToEngine()) << peer.error();
    peer.setSine(0, 220.0f, 0.5f);
    peer.setSine(1, 1000.0f, 0.25f);
    ASSERT_TRUE(peer.waitFrames(3 * peer.bufferSize())); // playing: what is answered from now on hears it
    engine.request({{"cmd", "amp"}, {"enabled", false}});
    engine.request({{"cmd", "monitor"}, {"enabled", true}, {"level", 1.0}});
    auto out = peer.capture(4800); // whole periods of 220 and 440 Hz
    // Below the limiter's ceiling the DI comes out unchanged, on both channels.
    EXPECT_NEAR(peakOf(out[0]), 0.5f, 0.002f);
    EXPECT_EQ(out[0], out[1]);
    EXPECT_LT(harmonicShare(out[0], 220.0), 0.001) << "a clean 220 Hz sine (one a hertz off leaves 3 %)";

    engine.request({{"cmd", "monitor"}, {"level", 0.5}});
    EXPECT_NEAR(peakOf(peer.capture(4800)[1]), 0.25f, 0.002f);
    EXPECT_NEAR(engine.levelAfterReplies()["out"].get<double>(), 0.25, 0.003) << "the output meter follows what was sent";
    engine.request({{"cmd", "inputChannel"}, {"channel", 1}});
    engine.request({{"cmd", "monitor"}, {"level", 1e39}}); // infinite in single precision: clamped to 2
    EXPECT_NEAR(peakOf(peer.capture(4800)[0]), 0.5f, 0.002f);
    engine.request({{"cmd", "inputChannel"}, {"channel", 0}});
    engine.request({{"cmd", "monitor"}, {"level", 1.0}});

    engine.request({{"cmd", "amp"}, {"enabled", true}, {"model", "drive"}, {"gain", 0.8}});
    out = peer.capture(4800, 4800);
    EXPECT_GT(peakOf(out[0]), 0.01f);
    EXPECT_GT(harmonicShare(out[0], 220.0), 0.01);

    engine.request({{"cmd", "monitor"}, {"enabled", false}});
    out = peer.capture(4800);
    EXPECT_EQ(peakOf(out[0]) + peakOf(out[1]), 0.0f);
    engine.request({{"cmd", "tone"}, {"enabled", true}, {"level", 9}}); // whatever the monitor; level clamped to 0.5
    out = peer.capture(4800);
    EXPECT_NEAR(peakOf(out[0]), 0.5f, 0.002f);
    EXPECT_EQ(out[0], out[1]);
    EXPECT_LT(harmonicShare(out[0], 440.0), 0.001);
    engine.request({{"cmd", "tone"}, {"enabled", false}});
    EXPECT_EQ(peakOf(peer.capture(4800)[0]), 0.0f);

    engine.request({{"cmd", "monitor"}, {"enabled", true}});
    json level = engine.levelAfterReplies();
    EXPECT_NEAR(level["in"].get<double>(), 0.5, 0.01);
    EXPECT_NEAR(level["inputs"][0].get<double>(), 0.5, 0.01);
    EXPECT_NEAR(level["inputs"][1].get<double>(), 0.25, 0.01);
    EXPECT_EQ(engine.request({{"cmd", "inputChannel"}, {"channel", 1}})["inputChannel"], 1);
    EXPECT_NEAR(engine.levelAfterReplies()["in"].get<double>(), 0.25, 0.01);
    peer.setSilence(0);
    peer.setSilence(1);
    ASSERT_TRUE(peer.waitFrames(3 * peer.bufferSize()));
    engine.request({{"cmd", "ping"}});
    level = engine.levelAfterReplies();
    EXPECT_EQ(level["inputs"], json::array({0.0, 0.0}));
    EXPECT_LT(level["out"].get<double>(), 1e-6) << "the amplifier's filters ring down towards zero";
}

// A stream that dies under a take is reported once as a streamError, closed,
// and the take is finalised with what it holds, for `stop` to report. Requests
// are answered while the server is gone; open fails, and after a restart opens
// without a close in between; quit right after a death exits in order.
TEST(Faults, ServerKilledUnderATakeThenRestarted) {
    JackServer& server = JackServer::shared();
    EngineProcess engine(server.environment());
    ASSERT_TRUE(ok(engine.request({{"cmd", "open"}})));
    const std::string di = std::string(CORVENA_BINARY_DIR) + "/fault-take-di.wav";
    ASSERT_TRUE(ok(engine.request({{"cmd", "record"}, {"diPath", di}})));
    uint64_t frames = 0;
    for (int i = 0; i < 100 && frames < 4800; ++i) frames = engine.nextLevel().value_or(json::object()).value("frames", 0u);
    ASSERT_GE(frames, 4800u);
    server.kill();

    const auto failure = engine.nextEvent("streamError", 5s);
    EXPECT_FALSE(failure.value_or(json::object()).value("error", "").empty()) << "a streamError event with its reason";
    const json status = engine.request({{"cmd", "status"}});
    EXPECT_EQ(json({status["open"], status["recording"]}), json({false, false})) << status.dump();
    const json stop = engine.request({{"cmd", "stop"}});
    EXPECT_EQ(stop.value("error", "").rfind("the audio stream failed during the take: ", 0), 0u) << stop.dump();
    EXPECT_GE(stop["frames"].get<uint64_t>(), 4800u);
    EXPECT_EQ(checkWav(di, 48000, stop["frames"].get<int64_t>()), "") << "a complete 24-bit mono WAV file";
    EXPECT_EQ(engine.request({{"cmd", "stop"}})["error"], "not recording");
    EXPECT_FALSE(engine.nextEvent("streamError", 300ms).has_value()) << "reported once";
    for (int i = 0; i < 10; ++i) EXPECT_EQ(engine.request({{"cmd", "ping"}})["pong"], true);
    EXPECT_TRUE(ok(engine.request({{"cmd", "listDevices"}})));
    EXPECT_FALSE(ok(engine.request({{"cmd", "open"}, {"api", "jack"}}))) << "no server to open";

    ASSERT_TRUE(server.start()) << server.log();
    ASSERT_TRUE(ok(engine.request({{"cmd", "open"}, {"api", "jack"}})));
    {
        JackPeer peer(server.name());
        ASSERT_TRUE(peer.connectToEngine());
        peer.setSine(0, 220.0f, 0.4f);
        ASSERT_TRUE(peer.waitFrames(3 * peer.bufferSize()));
        engine.request({{"cmd", "ping"}});
        EXPECT_NEAR(engine.levelAfterReplies()["in"].get<double>(), 0.4, 0.01);
    }
    server.kill();
    EXPECT_EQ(engine.quit(), 0) << engine.stderrText();
    ASSERT_TRUE(server.start()) << server.log();
}
