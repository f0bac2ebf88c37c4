// Takes through the engine process on a private JACK server: the test's own
// client feeds the engine's input and captures its output. A take during which
// the server lost a cycle is taken again; then every check is exact.
#include "WavFiles.h"
#include "support/EngineProcess.h"
#include "support/JackPeer.h"
#include "support/JackServer.h"
#include "support/Measures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>

using namespace corvena::test;

namespace {

constexpr uint32_t rate = 48000;

int32_t code24(float x) { return static_cast<int32_t>(std::clamp(x, -1.0f, 1.0f) * 8388607.0f); }

// Frames of `codes` that differ from the loop played on from the offset that
// matches best: 0 for an unbroken stretch of it (a lost cycle repeats or drops a block).
size_t offTheLoop(const std::vector<int32_t>& codes, const std::vector<float>& loop) {
    size_t best = codes.size();
    for (size_t from = 0; from < loop.size() && !codes.empty(); ++from) {
        if (code24(loop[from]) != codes[0]) continue;
        size_t off = 0;
        for (size_t i = 0; i < codes.size() && off < best; ++i) off += codes[i] != code24(loop[(from + i) % loop.size()]);
        best = std::min(best, off);
    }
    return best;
}

class Take : public ::testing::Test, protected TestFolder {
protected:
    void SetUp() override {
        ASSERT_TRUE(ok(engine.request({{"cmd", "open"}})));
        ASSERT_TRUE(peer.connectToEngine()) << peer.error();
        peer.setSine(0, 220.0f, 0.5f);
    }
    // A new feed from the next cycle on; the engine's input, in the graph's order, a cycle later.
    void feed(std::vector<float> loop) {
        peer.setLoop(0, std::move(loop));
        peer.waitFrames(3 * peer.bufferSize());
    }

    json record(const std::string& di, const std::string& wet) { return engine.request({{"cmd", "record"}, {"diPath", di}, {"wetPath", wet}}); }
    json stop() { return engine.request({{"cmd", "stop"}}); }
    // Records `di` and `wet` while `during` runs, again until no cycle was lost
    // meanwhile (four takes at most); returns the stop reply.
    json steadyTake(const std::string& di, const std::string& wet, const std::function<void()>& during) {
        json stopped;
        for (int take = 0; take < 4; ++take) {
            const uint32_t mark = peer.lostCycles();
            recordSent = peer.frames();
            EXPECT_TRUE(ok(record(di, wet)));
            recordAnswered = peer.frames();
            during();
            stopped = stop();
            if (peer.xrunsSince(mark) == 0) break;
        }
        return stopped;
    }

    uint64_t recordSent = 0, recordAnswered = 0; // on the audio clock, in the last take
    EngineProcess engine{JackServer::shared().environment()};
    JackPeer peer{JackServer::shared().name()};
};

// Longer than the rings' four seconds. The DI file is the fed loop sample for
// sample; the wet file holds what was played, code for code, and is not the DI.
TEST_F(Take, TheDiIsWhatWasFedAndTheWetWhatWasPlayed) {
    // A shuffled ramp: noise-like, and each 24-bit code tells where in the loop it lies.
    std::vector<float> loop(1u << 18);
    for (size_t k = 0; k < loop.size(); ++k) loop[k] = -0.6f + 1.2f * static_cast<float>(k) / loop.size();
    std::shuffle(loop.begin(), loop.end(), std::mt19937(7));
    feed(loop);
    ASSERT_TRUE(ok(engine.request({{"cmd", "monitor"}, {"level", 1.0}})));
    const std::string di = path("di.wav"), wet = path("wet.wav");
    uint64_t stopSent = 0, level = 0;
    json refused;
    std::vector<std::vector<float>> played;
    const json s = steadyTake(di, wet, [&] {
        refused = record(path("other.wav"), path("other-wet.wav"));
        level = engine.levelAfterReplies().value("frames", 0u);
        played = peer.capture(rate, 0, 1);
        peer.waitFrames(4 * rate);
        stopSent = peer.frames();
    });
    const uint64_t stopAnswered = peer.frames();
    ASSERT_TRUE(ok(s)) << s.dump();
    EXPECT_EQ(refused["error"], "already recording");
    EXPECT_FALSE(std::filesystem::exists(path("other.wav")) || std::filesystem::exists(path("other-wet.wav")));
    EXPECT_GT(level, 0u) << "level events count the take";
    EXPECT_EQ(json({s["diPath"], s["wetPath"]}), json({di, wet}));
    const uint64_t frames = s["frames"].get<uint64_t>(), block = peer.bufferSize();
    EXPECT_EQ(frames % block, 0u) << "whole blocks";
    EXPECT_DOUBLE_EQ(s["seconds"].get<double>(), static_cast<double>(frames) / rate);
    // Between the record reply and the stop request at least, between the
    // record request and the stop reply at most: a block of slack at each end.
    EXPECT_GE(frames + 2 * block, stopSent - recordAnswered);
    EXPECT_LE(frames, stopAnswered - recordSent + 2 * block);
    EXPECT_EQ(checkWav(di, rate, frames) + checkWav(wet, rate, frames), "");

    const auto diCodes = readSamples(di), wetCodes = readSamples(wet);
    EXPECT_EQ(offTheLoop(diCodes, loop), 0u);
    ASSERT_EQ(played.at(0).size(), rate);
    std::vector<int32_t> heard(rate);
    std::transform(played[0].begin(), played[0].end(), heard.begin(), code24);
    EXPECT_NE(std::search(wetCodes.begin(), wetCodes.end(), heard.begin(), heard.end()), wetCodes.end())
        << "the second played is not in the wet file";
    size_t same = 0;
    for (size_t i = 0; i < frames; ++i) same += wetCodes[i] == diCodes[i];
    EXPECT_LT(same, frames / 10) << "the wet file looks unprocessed";
    EXPECT_EQ(engine.quit(), 0);
}

// (Refused starts and takes without a wet file: EngineTakeTest.cpp.)
TEST_F(Take, AFullDiskAndAClosedStream) {
    // A file whose size patch fails (a full disk) is reported; the other one is finalised.
    ASSERT_TRUE(ok(record("/dev/full", path("wet.wav"))));
    peer.waitFrames(rate / 4);
    json s = stop();
    EXPECT_EQ(json({s["error"], s["diPath"]}), json({"the recording could not be finalised", "/dev/full"}));
    EXPECT_EQ(checkWav(path("wet.wav"), rate, s["frames"].get<int64_t>()), "");
    EXPECT_GT(s["frames"].get<uint64_t>(), 0u);

    // A take keeps its stream: no open under it (the writer reads the rings an
    // open re-sizes). Closing keeps the take, which gets nothing more until stopped.
    ASSERT_TRUE(ok(record(path("di2.wav"), path("wet2.wav"))));
    peer.waitFrames(rate / 4);
    EXPECT_EQ(engine.request({{"cmd", "open"}, {"blockSize", 256}})["error"], "cannot open a stream while recording");
    const json status = engine.request({{"cmd", "status"}});
    EXPECT_EQ(json({status["open"], status["blockSize"]}), json({true, peer.bufferSize()}));
    EXPECT_GT(engine.levelAfterReplies()["frames"].get<uint64_t>(), status["frames"].get<uint64_t>()) << "the take goes on";
    ASSERT_TRUE(ok(engine.request({{"cmd", "close"}})));
    const uint64_t atClose = engine.request({{"cmd", "status"}})["frames"].get<uint64_t>();
    peer.waitFrames(rate / 4);
    EXPECT_EQ(engine.request({{"cmd", "open"}})["error"], "cannot open a stream while recording");
    s = stop();
    ASSERT_TRUE(ok(s)) << s.dump();
    EXPECT_EQ(json({s["frames"], s["seconds"]}), json({atClose, 0.0})) << "no stream: no rate to count seconds in";
    EXPECT_EQ(checkWav(path("di2.wav"), rate, int64_t(atClose)) + checkWav(path("wet2.wav"), rate, int64_t(atClose)), "");
    EXPECT_TRUE(ok(engine.request({{"cmd", "open"}})));
    EXPECT_EQ(engine.quit(), 0);
}

// The tuner reads the DI in every level event; mute silences the monitor only;
// settings outlive the stream; a take while tuning is as any other (the fed
// loop, wet equal to DI with the amp off and below the limiter's ceiling).
TEST_F(Take, TunerReadsTheDiSilencesOnlyTheMonitorAndLeavesTakesAsTheyWere) {
    std::vector<float> loop(2400); // eleven periods of A3 (220 Hz)
    for (size_t k = 0; k < loop.size(); ++k) loop[k] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 11.0 * k / loop.size()));
    feed(loop);
    ASSERT_TRUE(ok(engine.request({{"cmd", "amp"}, {"enabled", false}})));
    ASSERT_TRUE(ok(engine.request({{"cmd", "monitor"}, {"level", 1.0}})));
    auto tuner = [&](json fields) { return fields["cmd"] = "tuner", engine.request(fields); };
    // A reading after 300 ms without lost cycles: a lost cycle bends the reading
    // of its window by tenths of a cent, and each later one by half as much.
    auto reading = [&] {
        json level;
        for (int take = 0; take < 5; ++take) {
            const uint32_t mark = peer.lostCycles();
            level = engine.levelAfterReplies();
            for (int more = 0; more < 3; ++more) level = engine.nextLevel().value_or(json::object());
            if (peer.xrunsSince(mark) == 0) break;
        }
        return level.value("tuner", json("absent"));
    };
    auto isA3 = [](const json& r, double cents) {
        return r.is_object() && r["note"] == "A3" && std::abs(r["cents"].get<double>() - cents) <= 0.05 &&
               std::abs(r["frequency"].get<double>() - 220.0) <= 0.005;
    };

    EXPECT_EQ(tuner({{"reference", "high"}})["ok"], false);
    EXPECT_EQ(engine.request({{"cmd", "status"}})["tuner"], false) << "a refused request changes nothing";
    ASSERT_TRUE(ok(tuner({{"mute", true}}))); // its reply and status: ProtocolProcessTest.cpp
    json during;
    const json s = steadyTake(path("di.wav"), path("wet.wav"), [&] {
        peer.waitFrames(rate / 4);
        during = engine.levelAfterReplies().value("tuner", json("absent"));
    });
    ASSERT_TRUE(ok(s)) << s.dump();
    EXPECT_PRED2(isA3, during, 0.0);
    const auto di = readSamples(path("di.wav"));
    ASSERT_GT(di.size(), rate / 10);
    EXPECT_EQ(readSamples(path("wet.wav")), di);
    EXPECT_EQ(offTheLoop(di, loop), 0u);

    engine.request({{"cmd", "close"}}); // settings outlive the stream
    ASSERT_TRUE(ok(engine.request({{"cmd", "open"}})));
    ASSERT_TRUE(peer.connectToEngine());
    EXPECT_PRED2(isA3, reading(), 0.0);
    EXPECT_EQ(peakOf(peer.capture(4800).at(0)), 0.0f) << "muted while tuning";
    tuner({{"enabled", false}, {"mute", true}});
    EXPECT_NEAR(peakOf(peer.capture(4800).at(0)), 0.5f, 0.002f) << "mute ends with the tuner";
    EXPECT_EQ(reading(), "absent");
    tuner({{"reference", 432}});
    EXPECT_PRED2(isA3, reading(), 31.77) << "A3 is 216 Hz at 432";
    EXPECT_EQ(engine.quit(), 0);
}

// Ways the front end can go away mid-take, with a third-party plug-in loaded
// (its module's statics go at exit; the engine lets go of it first): each
// leaves both files finalised and the engine exiting 0, a closed stdout
// included (no death by SIGPIPE).
class TakeEnds : public Take, public ::testing::WithParamInterface<std::string> {};

TEST_P(TakeEnds, BothFilesAreFinalised) {
    ASSERT_TRUE(ok(engine.request({{"cmd", "vstLoad"}, {"path", "/usr/lib/vst3/ZamComp.vst3"}})));
    ASSERT_TRUE(ok(record(path("di.wav"), path("wet.wav"))));
    peer.waitFrames(rate / 2);
    if (GetParam() == "Quit") engine.send(R"({"cmd":"quit"})");
    if (GetParam() == "EndOfInput") engine.closeInput();
    if (GetParam() == "ReaderGone") engine.closeOutput(); // the next level event meets a closed pipe
    EXPECT_EQ(engine.wait(10s), 0) << engine.stderrText();
    const int64_t frames = static_cast<int64_t>(readSamples(path("di.wav")).size());
    EXPECT_GT(frames, int64_t(rate / 4));
    EXPECT_EQ(checkWav(path("di.wav"), rate, frames) + checkWav(path("wet.wav"), rate, frames), "");
}

INSTANTIATE_TEST_SUITE_P(Front, TakeEnds, ::testing::Values("Quit", "EndOfInput", "ReaderGone"),
                         [](const auto& info) { return info.param; });

} // namespace
