// The plug-in commands through the real engine process, with a stream open on
// a private JACK server: what comes out is the plug-in's. (The slot's own
// messages and state machine: SlotTests.cpp.)
#include <gtest/gtest.h>

#include <sstream>

#include "support/EngineProcess.h"
#include "support/JackPeer.h"
#include "support/JackServer.h"
#include "support/Measures.h"
#include "support/TestPlugins.h"

using namespace corvena::test;

namespace {

struct PluginProcess : ::testing::Test {
    json load(const std::string& path) { return engine.request({{"cmd", "vstLoad"}, {"path", path}}); }
    std::string error(json body) { return engine.request(std::move(body)).value("error", std::string("(none)")); }
    // Opens the stream and plays a 300 Hz sine at 0.4 into it.
    void play() {
        const json opened = engine.request({{"cmd", "open"}});
        ASSERT_TRUE(ok(opened)) << opened.dump() << engine.stderrText();
        ASSERT_TRUE(peer.connectToEngine()) << peer.error();
        peer.setSine(0, 300.0f, 0.4f);
    }
    // The test gain plug-in at unity: the input at the default monitor level 0.8, nothing else.
    static bool passesThrough(const std::vector<float>& out) {
        return std::fabs(peakOf(out) - 0.32f) < 0.002f && harmonicShare(out, 300.0) < 1e-4;
    }
    std::vector<float> heard() { return peer.capture(4800, 2400).at(0); }

    EngineProcess engine{JackServer::shared().environment()};
    JackPeer peer{JackServer::shared().name()};
};

} // namespace

// The protocol's side of the plug-in commands: replies carry the slot's results
// and errors, fields are typed, states travel as strict base64. (The slot's own
// refusals and its emptying: SlotTests.cpp; unload heard: the next test.)
TEST_F(PluginProcess, CommandsAndTheirRepliesWithoutAStream) {
    EXPECT_EQ(error({{"cmd", "vstParams"}}), "no plugin loaded");
    const std::string path = zamBundle("ZamComp");
    const json r = load(path);
    EXPECT_EQ(json({r["name"], r["path"]}), json({"ZamComp", path})) << r.dump();
    const json status = engine.request({{"cmd", "vstStatus"}});
    EXPECT_EQ(json({status["loaded"], status["name"], status["path"]}), json({true, "ZamComp", path}));

    const json params = engine.request({{"cmd", "vstParams"}})["params"];
    ASSERT_GE(params.size(), 8u);
    const json& threshold = params[7];
    EXPECT_EQ(json({threshold["title"], threshold["units"], threshold.size()}), json({"Threshold", "dB", 8}));
    const json set = engine.request({{"cmd", "vstSetParam"}, {"param", 7}, {"value", -3}});
    EXPECT_EQ(set["value"], 0.0) << "clamped";
    EXPECT_EQ(set["display"], engine.request({{"cmd", "vstParams"}})["params"][7]["display"]);
    EXPECT_EQ(error({{"cmd", "vstSetParam"}, {"value", 0.5}}), "a parameter id and a value are required");
    EXPECT_NE(error({{"cmd", "vstSetParam"}, {"param", "7"}, {"value", 0.5}}).find("type must be number"), std::string::npos);
    EXPECT_NE(error({{"cmd", "vstSetState"}, {"state", 5}}).find("type must be string"), std::string::npos);

    const std::string state = engine.request({{"cmd", "vstGetState"}})["state"];
    ASSERT_TRUE(ok(load(path)));
    EXPECT_TRUE(ok(engine.request({{"cmd", "vstSetState"}, {"state", state}})));
    EXPECT_EQ(engine.request({{"cmd", "vstParams"}})["params"][7]["value"], 0.0);
    for (const std::string& bad : {std::string("!!!!"), state.substr(1)})
        EXPECT_EQ(error({{"cmd", "vstSetState"}, {"state", bad}}), "the state is not valid") << bad;
    EXPECT_EQ(engine.quit(), 0);
}

// What is heard is the plug-in's while it is enabled. (Loads and unloads under
// a running audio thread: PluginSlotThreadsTest; non-finite plug-in output
// contained: PluginPath in CallbackTests.cpp.)
TEST_F(PluginProcess, TheOutputIsThePluginsWhileItIsEnabled) {
    play();
    const std::vector<float> amp = heard();
    EXPECT_FALSE(passesThrough(amp)) << "the built-in amp";
    ASSERT_TRUE(ok(load(testBundle("CorvenaGain"))));
    EXPECT_TRUE(passesThrough(heard()));
    EXPECT_TRUE(ok(engine.request({{"cmd", "vstEnable"}, {"enabled", false}})));
    EXPECT_EQ(engine.request({{"cmd", "vstStatus"}})["loaded"], true) << "disabled, still loaded";
    EXPECT_NEAR(peakOf(heard()), peakOf(amp), 0.02);
    EXPECT_TRUE(ok(engine.request({{"cmd", "vstEnable"}, {"enabled", true}})));
    EXPECT_TRUE(passesThrough(heard()));
    EXPECT_TRUE(ok(engine.request({{"cmd", "vstUnload"}})));
    EXPECT_NEAR(peakOf(heard()), peakOf(amp), 0.02) << "the amp path again";
    EXPECT_EQ(engine.quit(), 0);
}

// A line a plug-in repeats on every block is passed on about once a second.
// A plug-in printing a long line on every block to stderr, which nobody reads,
// and to stdout: requests are answered and stdout carries protocol lines only.
TEST_F(PluginProcess, PrintingOnEveryBlockIsCollapsedAndNeverStallsAnUnreadStderr) {
    play();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ok(load(testBundle("CorvenaComplain"))));
    peer.waitFrames(2 * 48000);
    engine.request({{"cmd", "vstUnload"}});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string text = engine.stderrText();
    // The plug-in's lines and the repeat counts; the audio library's own
    // chatter when the stream opened (ALSA's, under RtAudio 6) is not its.
    size_t passedOn = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        passedOn += line.find("corvena test plugin") != std::string::npos || line.rfind("(repeated ", 0) == 0;
    EXPECT_LE(passedOn, 2 + std::ceil(seconds)) << text; // an upper bound only: a slow run loosens it
    EXPECT_NE(text.find("corvena test plugin: something is missing\n(repeated "), std::string::npos) << text;

    engine.leaveStderrUnread();
    ASSERT_TRUE(ok(load(testBundle("CorvenaChatter"))));
    ASSERT_TRUE(peer.waitFrames(48000));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(ok(engine.request({{"cmd", "vstUnload"}})));
        EXPECT_TRUE(ok(load(testBundle("CorvenaChatter"))));
        EXPECT_EQ(engine.request({{"cmd", "ping"}})["pong"], true);
        peer.waitFrames(12000);
    }
    engine.closeInput();
    while (auto line = engine.readLine(2s)) EXPECT_TRUE(json::parse(*line, nullptr, false).is_object()) << *line;
    EXPECT_EQ(engine.wait(), 0);
}
