// corvena-audio.exe under Wine (WASAPI, DirectSound) through Wine's ALSA driver
// into ALSA's JACK plug-in, on the tests' private JACK server where the tests'
// client feeds and hears it. Run by scripts/windows-test.sh; skipped otherwise.
#include "support/EngineProcess.h"
#include "support/JackPeer.h"
#include "support/JackServer.h"
#include "support/Measures.h"
#include "WavFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

using namespace corvena::test;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t rate = 48000, block = 128;

// DirectSound lists no device over the JACK PCM itself (it derives its primary
// buffer's formats from 8- and 16-bit support, which that PCM refuses): it gets
// a plug PCM around it.
std::string alsaHome(const std::string& name, bool configured, bool plug) {
    const std::string home = freshTempDir(name);
    if (!configured) return home;
    std::ofstream rc(home + "/.asoundrc");
    rc << "pcm." << (plug ? "corvenajack" : "!default") << " {\n  type jack\n  name \"corvena\"\n"
       << "  playback_ports { 0 system:playback_1 1 system:playback_2 }\n"
       << "  capture_ports { 0 system:capture_1 1 system:capture_2 }\n}\n";
    if (plug) rc << "pcm.!default {\n  type plug\n  slave.pcm \"corvenajack\"\n}\n";
    return home;
}

std::vector<float> toFloat(const std::vector<int32_t>& codes, size_t from, size_t count) {
    std::vector<float> out;
    for (size_t k = from; k < std::min(codes.size(), from + count); ++k) out.push_back(codes[k] / 8388607.0f);
    return out;
}

class WineAudio : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (!std::getenv("CORVENA_TEST_ENGINE")) GTEST_SKIP() << "needs CORVENA_TEST_ENGINE (scripts/windows-test.sh)";
        JackServer::shared(); // named in this process's environment, which the engines inherit
    }
    // The port of the plug-in's client that matches `suffix` (capture side "in_000",
    // playback side "out_000"), waited for on level events.
    std::string pluginPort(EngineProcess& engine, JackPeer& peer, const std::string& suffix) {
        for (int i = 0; i < 100; ++i) {
            const auto found = peer.ports("^corvena[^:]*:" + suffix + "$");
            if (!found.empty()) return found.front();
            engine.nextLevel();
        }
        return "";
    }
};

TEST_P(WineAudio, StreamsMetersRecordsAndPlays) {
    const std::string api = GetParam();
    EngineProcess engine({"HOME=" + alsaHome("wine-" + api, true, api == "ds")});
    ASSERT_TRUE(engine.ready());

    int outputs = 0, inputs = 0;
    const json listed = engine.request({{"cmd", "listDevices"}});
    for (const json& d : listed["devices"])
        if (d["api"] == api) outputs += d["outputChannels"].get<int>() >= 2, inputs += d["inputChannels"].get<int>() >= 2;
    EXPECT_TRUE(outputs >= 1 && inputs >= 1) << "a stereo " << api << " device each way: " << listed.dump();

    const json open = engine.request({{"cmd", "open"}, {"api", api}});
    ASSERT_TRUE(open["ok"].get<bool>()) << open.dump();
    const json granted = {{"api", api}, {"sampleRate", rate}, {"blockSize", block}, {"inputChannelCount", 2},
                          {"inputChannel", 0}, {"outputChannelCount", 2}, {"outputChannel", 0}};
    for (const auto& [key, value] : granted.items()) EXPECT_EQ(open[key], value) << key;
    EXPECT_GT(open["latencyFrames"].get<uint32_t>() * open["latencyMs"].get<double>(), 0.0);

    JackPeer peer(JackServer::shared().name(), "WinePeer");
    ASSERT_TRUE(peer.ok()) << peer.error();
    const std::string in = pluginPort(engine, peer, "in_000"), out = pluginPort(engine, peer, "out_000");
    ASSERT_TRUE(peer.connect(peer.feedPort(0), in)) << in;
    ASSERT_TRUE(peer.connect(out, peer.capturePort(0))) << out;
    peer.setSine(0, 220.0f, 0.4f);

    // Level events on their 50 ms grid, on the server's clock, over 40 events
    // from one that had to be waited for (not one already in the pipe).
    for (uint64_t before = 0; before == peer.frames();) {
        before = peer.frames();
        ASSERT_TRUE(engine.nextLevel().has_value());
    }
    const uint64_t first = peer.frames();
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(engine.nextLevel().has_value());
    const double cadence = (peer.frames() - first) * 1000.0 / rate / 40;
    EXPECT_GE(cadence, 48.0);
    EXPECT_LE(cadence, 55.0);
    EXPECT_NEAR(engine.levelAfterReplies().value("in", 0.0), 0.4, 0.02) << "the fed sine on the meter";

    // Through the amp (Drive) at the monitor's level.
    const auto amped = peer.capture(9600).at(0);
    EXPECT_NEAR(frequencyOf(amped), 220.0, 2.0);
    EXPECT_GT(peakOf(amped), 0.05f);

    // A take of two seconds on the server's clock, under a path of non-ASCII
    // characters and a space, taken again while the server or the engine saw an
    // xrun (DirectSound's duplex thread skips input to stay in step).
    const std::string dir = freshTempDir("wine-take-" + api) + "/José";
    std::filesystem::create_directory(dir);
    const std::string take = dir + "/toma 1.wav";
    std::string windowsPath = "Z:" + take;
    std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
    json stop;
    uint64_t recordSent = 0, recordReplied = 0, stopSent = 0, stopReplied = 0;
    int attempts = 0;
    uint32_t xruns = 1;
    for (; xruns != 0 && attempts < 3; ++attempts) {
        const uint32_t serverXruns = peer.lostCycles();
        xruns = 0;
        recordSent = peer.frames();
        ASSERT_TRUE(engine.request({{"cmd", "record"}, {"diPath", windowsPath}})["ok"].get<bool>());
        recordReplied = peer.frames();
        while (peer.frames() - recordReplied < 2 * rate)
            xruns += engine.nextLevel().value_or(json::object()).value("xruns", 0u);
        stopSent = peer.frames();
        stop = engine.request({{"cmd", "stop"}});
        stopReplied = peer.frames();
        xruns += peer.xrunsSince(serverXruns);
    }
    ASSERT_TRUE(stop["ok"].get<bool>()) << stop.dump();
    EXPECT_EQ(stop["diPath"], windowsPath);
    const uint64_t frames = stop["frames"].get<uint64_t>();
    // A block a second, and the 10 ms period Wine's devices deliver in at each end
    // and per xrun (a loaded machine makes some in every take).
    const uint64_t slack = (frames / rate + 1) * block + (2 + xruns) * rate / 100;
    EXPECT_GE(frames + slack, stopSent - recordReplied);
    EXPECT_LE(frames, stopReplied - recordSent + slack);
    EXPECT_EQ(checkWav(take, rate, static_cast<int64_t>(frames)), "");
    const auto di = toFloat(readSamples(take), frames / 2, rate / 2);
    EXPECT_NEAR(frequencyOf(di), 220.0, 1.0);
    EXPECT_NEAR(peakOf(di), 0.4f, 0.02f);

    // The test tone alone.
    ASSERT_TRUE(engine.request({{"cmd", "monitor"}, {"enabled", false}})["ok"].get<bool>());
    ASSERT_TRUE(engine.request({{"cmd", "tone"}, {"frequency", 1000.0}, {"level", 0.3}})["ok"].get<bool>());
    const auto tone = peer.capture(9600, rate * 3 / 10).at(0);
    EXPECT_NEAR(frequencyOf(tone), 1000.0, 5.0);
    EXPECT_NEAR(peakOf(tone), 0.3f, 0.03f);

    std::cout << "[ figures  ] " << api << ": " << open.dump() << ", level every " << cadence << " ms, take of "
              << frames << " frames in " << stopSent - recordReplied << " to " << stopReplied - recordSent
              << " server frames (attempt " << attempts << ", " << xruns << " xruns)\n";
    EXPECT_EQ(engine.quit(), 0);
}

INSTANTIATE_TEST_SUITE_P(Api, WineAudio, ::testing::Values("wasapi", "ds"));

// Wine builds WASAPI's sample rate converter on GStreamer: without its plug-ins a
// stream that needs one does not start and says why; at the device's rate it
// needs none and runs. Without the ALSA configuration there is no device at all.
TEST_F(WineAudio, WithoutGStreamerOnlyTheDevicesRateStreamsWithoutAlsaNothing) {
    const std::string home = alsaHome("wine-nogst", true, false);
    EngineProcess engine({"HOME=" + home, "GST_PLUGIN_SYSTEM_PATH_1_0=" + home, "GST_PLUGIN_PATH_1_0=" + home,
                          "GST_REGISTRY_1_0=" + home + "/gst-registry.bin"});
    const json converted = engine.request({{"cmd", "open"}, {"api", "wasapi"}, {"sampleRate", 44100}});
    EXPECT_EQ(converted.value("error", ""), "the audio stream did not start: RtApiWasapi::wasapiThread: Unable to "
                                            "create the capture sample rate converter.") << converted.dump();
    EXPECT_FALSE(engine.request({{"cmd", "status"}})["open"].get<bool>());
    ASSERT_TRUE(engine.request({{"cmd", "open"}, {"api", "wasapi"}})["ok"].get<bool>());
    EXPECT_TRUE(engine.nextLevel().has_value());
    EXPECT_EQ(engine.quit(), 0);

    EngineProcess bare({"HOME=" + alsaHome("wine-none", false, false)});
    EXPECT_EQ(bare.request({{"cmd", "listDevices"}})["devices"], json::array());
    for (const char* api : {"wasapi", "ds"})
        EXPECT_EQ(bare.request({{"cmd", "open"}, {"api", api}}).value("error", ""), std::string("no ") + api + " audio device is available");
    EXPECT_FALSE(bare.request({{"cmd", "status"}})["open"].get<bool>());
    EXPECT_EQ(bare.quit(), 0);
}

} // namespace
