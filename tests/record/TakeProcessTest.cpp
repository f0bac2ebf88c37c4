// Takes through the engine process on the binary's private JACK server: the
// test's own JACK client feeds the engine's input and captures its output.
#include "WavFiles.h"
#include "audio/AudioSession.h"

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <numeric>
#include <random>
#include <thread>
#include <unordered_map>

using namespace corvena::test;
using namespace std::chrono_literals;

static auto* const jackEnvironment = ::testing::AddGlobalTestEnvironment(new JackEnvironment);

namespace {

constexpr uint32_t rate = 48000, block = 128;

int32_t code24(float x) { return static_cast<int32_t>(std::clamp(x, -1.0f, 1.0f) * 8388607.0f); }

// The server's own count of frames: on a busy machine the dummy driver can run
// slower than the wall clock.
struct ServerClock {
    jack_client_t* client = jack_client_open("RecordClock", JackOptions(JackNoStartServer | JackServerName), nullptr,
                                             JackEnvironment::server().name().c_str());
    ServerClock() { if (client) jack_activate(client); }
    ~ServerClock() { if (client) jack_client_close(client); }
    uint64_t frames() const { return jack_last_frame_time(client); }
};

class Take : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(engine.ready());
        json r = engine.request({{"cmd", "open"}});
        ASSERT_TRUE(r["ok"].get<bool>()) << r.dump();
        ASSERT_EQ(r["sampleRate"].get<uint32_t>(), rate);
        ASSERT_TRUE(peer.ok()) << peer.error();
        ASSERT_TRUE(peer.connectToEngine());
        peer.setSine(0, 220.0f, 0.5f);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string path(const std::string& name) const { return dir + "/" + name; }
    json record(const std::string& di, const std::string& wet = "") {
        json body = {{"cmd", "record"}, {"diPath", di}};
        if (!wet.empty()) body["wetPath"] = wet;
        return engine.request(body);
    }
    json stop() { return engine.request({{"cmd", "stop"}}); }

    std::string dir = testDir();
    AudioSession engine;
    JackPeer peer{JackEnvironment::server().name(), "RecordPeer"};
};

TEST_F(Take, TenSecondsOfTheFedSignalAndTheProcessedSignal) {
    // A shuffled ramp: noise-like, and each 24-bit code tells where in the loop it lies.
    std::vector<float> loop(1u << 18);
    for (size_t k = 0; k < loop.size(); ++k) loop[k] = -0.6f + 1.2f * static_cast<float>(k) / loop.size();
    std::shuffle(loop.begin(), loop.end(), std::mt19937(7));
    peer.setLoop(0, loop);
    ASSERT_TRUE(engine.request({{"cmd", "monitor"}, {"enabled", true}, {"level", 1.0}})["ok"].get<bool>());
    engine.settle(100ms);

    const std::string di = path("di.wav"), wet = path("wet.wav");
    ServerClock server;
    ASSERT_NE(server.client, nullptr);
    const uint32_t xrunsBefore = peer.xruns();
    const uint64_t recordSent = server.frames();
    json r = record(di, wet);
    const uint64_t recordReplied = server.frames();
    ASSERT_TRUE(r["ok"].get<bool>()) << r.dump();

    // Mid-take: a second record is refused, level events count the take, and a
    // second of the output is kept to compare with the wet file.
    engine.settle(500ms);
    EXPECT_EQ(record(path("other.wav"))["error"], "already recording");
    EXPECT_FALSE(std::filesystem::exists(path("other.wav")));
    EXPECT_GT(engine.levelAfter(0ms).value("frames", 0u), 0u);
    std::vector<std::vector<float>> output;
    std::thread capturing([&] { output = peer.capture(rate); });
    while (server.frames() - recordReplied < 10 * rate - block / 2) {
        const uint64_t left = 10 * rate - (server.frames() - recordReplied);
        engine.settle(std::chrono::milliseconds(std::clamp<uint64_t>(left * 1000 / rate, 1, 200)));
    }
    capturing.join();

    const uint64_t stopSent = server.frames();
    json s = stop();
    const uint64_t stopReplied = server.frames();
    // Cycles lost on a busy machine are not recorded; the server reports them as xruns.
    const uint64_t xruns = peer.xruns() - xrunsBefore;
    ASSERT_TRUE(s["ok"].get<bool>()) << s.dump();
    EXPECT_EQ(s["diPath"], di);
    EXPECT_EQ(s["wetPath"], wet);
    const uint64_t frames = s["frames"].get<uint64_t>();
    EXPECT_EQ(frames % block, 0u) << "whole blocks are recorded";
    EXPECT_NEAR(s["seconds"].get<double>(), 10.0, (2.0 + xruns) * block / rate + 0.05);
    EXPECT_DOUBLE_EQ(s["seconds"].get<double>(), static_cast<double>(frames) / rate);
    // At least from the record reply to the stop request, at most from the record
    // request to the stop reply: a block of slack at each end and one per lost cycle.
    EXPECT_GE(frames + (2 + xruns) * block, stopSent - recordReplied);
    EXPECT_LE(frames, stopReplied - recordSent + 2 * block);
    EXPECT_EQ(checkWav(di, rate, frames), "");
    EXPECT_EQ(checkWav(wet, rate, frames), "");

    // The DI file is the fed loop, sample for sample, broken only where a cycle was lost.
    const auto diCodes = readWithSndfile(di).samples, wetCodes = readWithSndfile(wet).samples;
    std::unordered_map<int32_t, size_t> where;
    for (size_t k = 0; k < loop.size(); ++k) where[code24(loop[k])] = k;
    uint64_t foreign = 0, jumps = 0;
    size_t pos = loop.size();
    for (int32_t c : diCodes) {
        const auto it = where.find(c);
        if (it == where.end()) ++foreign;
        else if (pos != loop.size() && it->second != (pos + 1) % loop.size()) ++jumps;
        pos = it == where.end() ? pos : it->second;
    }
    EXPECT_EQ(foreign, 0u) << "DI samples that were never fed";
    EXPECT_LE(jumps, xruns) << "breaks in the DI signal beyond the xruns";

    // The wet file is what the engine played (monitor level 1), not the DI signal:
    // each stretch of the played output lies in it, code for code.
    ASSERT_EQ(output.at(0).size(), rate);
    std::vector<int32_t> played(output[0].size());
    std::transform(output[0].begin(), output[0].end(), played.begin(), code24);
    constexpr size_t stretch = 2048;
    size_t stretches = 0, found = 0;
    for (size_t from = 0; from + stretch <= played.size(); from += stretch, ++stretches)
        found += std::search(wetCodes.begin(), wetCodes.end(), played.begin() + from,
                             played.begin() + from + stretch) != wetCodes.end();
    EXPECT_GE(found + xruns, stretches) << "played stretches missing from the wet file";
    EXPECT_GT(found, 0u);
    const uint64_t same = std::inner_product(wetCodes.begin(), wetCodes.end(), diCodes.begin(), uint64_t(0),
                                             std::plus<>(), std::equal_to<>());
    EXPECT_LT(same, frames / 10) << "the wet file looks unprocessed";
    EXPECT_EQ(engine.quit(), 0);
}

TEST_F(Take, RefusedPartialAndClosedTakes) {
    const std::string badWet = dir + "/missing/wet.wav";
    EXPECT_EQ(record(path("di.wav"), badWet)["error"], "could not open " + badWet + " for writing");
    EXPECT_EQ(checkWav(path("di.wav"), rate, 0), "");
    EXPECT_FALSE(engine.request({{"cmd", "status"}})["recording"].get<bool>());
    EXPECT_EQ(stop()["error"], "not recording");

    // Without a wet path only the DI file is written.
    ASSERT_TRUE(record(path("di.wav"))["ok"].get<bool>());
    engine.settle(300ms);
    json s = stop();
    ASSERT_TRUE(s["ok"].get<bool>()) << s.dump();
    EXPECT_EQ(s["wetPath"], "");
    EXPECT_EQ(checkWav(path("di.wav"), rate, s["frames"].get<int64_t>()), "");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);

    // A file whose size patch fails is reported; the other one is finalised.
    ASSERT_TRUE(record("/dev/full", path("wet.wav"))["ok"].get<bool>());
    engine.settle(300ms);
    s = stop();
    EXPECT_EQ(s["error"], "the recording could not be finalised");
    EXPECT_GT(s["frames"].get<uint64_t>(), 0u);
    EXPECT_EQ(s["diPath"], "/dev/full");
    EXPECT_EQ(checkWav(path("wet.wav"), rate, s["frames"].get<int64_t>()), "");

    // The stream cannot be re-opened under a take (the writer would read rings being
    // re-sized); closing it keeps the take, which receives nothing more until stopped.
    ASSERT_TRUE(record(path("di2.wav"), path("wet2.wav"))["ok"].get<bool>());
    engine.settle(300ms);
    EXPECT_EQ(engine.request({{"cmd", "open"}, {"blockSize", 256}})["error"], "cannot open a stream while recording");
    json status = engine.request({{"cmd", "status"}});
    EXPECT_TRUE(status["open"].get<bool>());
    EXPECT_EQ(status["blockSize"], block);
    EXPECT_GT(engine.levelAfter(150ms)["frames"].get<uint64_t>(), status["frames"].get<uint64_t>()) << "the take goes on";

    ASSERT_TRUE(engine.request({{"cmd", "close"}})["ok"].get<bool>());
    const uint64_t atClose = engine.request({{"cmd", "status"}})["frames"].get<uint64_t>();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(engine.request({{"cmd", "open"}})["error"], "cannot open a stream while recording");
    s = stop();
    ASSERT_TRUE(s["ok"].get<bool>()) << s.dump();
    EXPECT_EQ(s["seconds"].get<double>(), 0.0);
    EXPECT_EQ(s["frames"].get<uint64_t>(), atClose);
    EXPECT_GT(atClose, 0u);
    EXPECT_EQ(checkWav(path("di2.wav"), rate, int64_t(atClose)), "");
    EXPECT_EQ(checkWav(path("wet2.wav"), rate, int64_t(atClose)), "");
    EXPECT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());
    EXPECT_EQ(engine.quit(), 0);
}

TEST_F(Take, MetronomeClicksOnTheOutputFromTheTakesFirstFrameButNotInTheFiles) {
    // Silence in, monitor off: the output is the click alone.
    peer.setSilence(0);
    ASSERT_TRUE(engine.request({{"cmd", "monitor"}, {"enabled", false}})["ok"].get<bool>());
    ASSERT_TRUE(engine.request({{"cmd", "metronome"}, {"enabled", true}, {"bpm", 120}})["ok"].get<bool>());
    engine.settle(300ms); // the metronome runs only while recording: nothing yet

    std::vector<std::vector<float>> output;
    const uint32_t xrunsBefore = peer.xruns();
    std::thread capturing([&] { output = peer.capture(4 * rate, 10s); });
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(record(path("di.wav"), path("wet.wav"))["ok"].get<bool>());
    engine.settle(2750ms);
    json s = stop();
    capturing.join();
    ASSERT_TRUE(s["ok"].get<bool>()) << s.dump();
    const uint64_t frames = s["frames"].get<uint64_t>();

    ASSERT_EQ(output.at(0).size(), 4u * rate);
    EXPECT_EQ(output[0], output[1]);
    // Each click starts with a 0 sample and then sounds.
    std::vector<size_t> onsets;
    for (size_t i = 1; i < output[0].size(); ++i)
        if (output[0][i] != 0.0f && (onsets.empty() || i > onsets.back() + 2000)) onsets.push_back(i - 1);
    ASSERT_FALSE(onsets.empty()) << "no click on the output";
    EXPECT_EQ(onsets[0] % block, 0u) << "the first click starts a block";
    ASSERT_EQ(onsets.size(), (frames + 23999) / 24000) << "take of " << frames << " frames";
    // Clicks keep time in frames of the take; each cycle lost to an xrun delays
    // the later ones on the output by a block.
    const size_t lostBlocks = peer.xruns() - xrunsBefore;
    for (size_t k = 0; k < onsets.size(); ++k) {
        const size_t late = onsets[k] - onsets[0] - k * 24000;
        EXPECT_TRUE(late % block == 0 && late <= lostBlocks * block)
            << "click " << k << " at " << onsets[k] - onsets[0] << " with " << lostBlocks << " xruns";
    }
    for (const auto& p : {path("di.wav"), path("wet.wav")}) {
        EXPECT_EQ(checkWav(p, rate, frames), "");
        int32_t peak = 0;
        for (int32_t v : readWithSndfile(p).samples) peak = std::max(peak, std::abs(v));
        EXPECT_LT(peak, 8388607 / 1000) << p << " carries sound: the click must not be recorded";
    }
    EXPECT_EQ(engine.quit(), 0);
}

TEST_F(Take, TunerReadsTheDiSilencesOnlyTheMonitorAndLeavesTakesAsTheyWere) {
    std::vector<float> loop(2400); // eleven periods of 220 Hz (A3)
    for (size_t k = 0; k < loop.size(); ++k) loop[k] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 11.0 * k / loop.size()));
    peer.setLoop(0, loop);
    ASSERT_TRUE(engine.request({{"cmd", "amp"}, {"enabled", false}})["ok"].get<bool>());
    ASSERT_TRUE(engine.request({{"cmd", "monitor"}, {"level", 1.0}})["ok"].get<bool>());
    auto tuner = [&](json fields) {
        fields["cmd"] = "tuner";
        return engine.request(fields);
    };
    auto tunerOn = [&] { return engine.request({{"cmd", "status"}})["tuner"]; };
    auto outputPeak = [&] {
        std::this_thread::sleep_for(60ms);
        return peakOf(peer.capture(4800).at(0));
    };
    auto take = [&](const std::string& name) {
        EXPECT_TRUE(record(path(name + "-di.wav"), path(name + "-wet.wav"))["ok"].get<bool>());
        const json level = engine.levelAfter(600ms);
        EXPECT_TRUE(stop()["ok"].get<bool>());
        return level;
    };
    auto tunerAfter = [&](std::chrono::milliseconds wait) { return engine.levelAfter(wait).value("tuner", json()); };
    // A loaded machine drops JACK cycles, and each lost cycle bends the window
    // holding it by tenths of a cent: the median of eight readings must name the
    // note and come within half a cent (the detector's own accuracy is pinned on
    // clean input by its block tests).
    auto settled = [&](std::chrono::milliseconds wait) {
        std::vector<json> readings{tunerAfter(wait)};
        while (readings.size() < 8) readings.push_back(tunerAfter(0ms));
        std::sort(readings.begin(), readings.end(), [](const json& a, const json& b) {
            return a.value("cents", 99.0) < b.value("cents", 99.0);
        });
        return readings[4];
    };
    auto isA3 = [](const json& reading, double cents) {
        return reading.is_object() && reading.value("note", "") == "A3" && std::abs(reading.value("cents", 99.0) - cents) <= 0.5 &&
               std::abs(reading.value("frequency", 0.0) - 220.0) <= 0.05;
    };

    EXPECT_FALSE(engine.levelAfter(100ms).contains("tuner"));
    EXPECT_EQ(tuner({{"reference", "high"}})["ok"], false);
    EXPECT_EQ(tunerOn(), false) << "a refused request changes nothing";
    const uint32_t xrunsBefore = peer.xruns();
    EXPECT_FALSE(take("plain").contains("tuner"));

    const json on = tuner({{"mute", true}});
    EXPECT_EQ(on, (json{{"id", on["id"]}, {"ok", true}}));
    EXPECT_EQ(tunerOn(), true);
    EXPECT_PRED2(isA3, settled(300ms), 0.0);
    EXPECT_EQ(outputPeak(), 0.0f) << "muted while tuning";
    EXPECT_EQ(take("tuning").value("tuner", json()).value("note", ""), "A3");
    const uint32_t xruns = peer.xruns() - xrunsBefore;

    engine.request({{"cmd", "close"}}); // settings outlive the stream
    ASSERT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());
    ASSERT_TRUE(peer.connectToEngine());
    EXPECT_PRED2(isA3, settled(300ms), 0.0);
    EXPECT_EQ(outputPeak(), 0.0f);
    tuner({{"enabled", false}, {"mute", true}});
    EXPECT_NEAR(outputPeak(), 0.5f, 0.002f) << "mute ends with the tuner";
    EXPECT_FALSE(engine.levelAfter(100ms).contains("tuner"));
    tuner({{"reference", 432}});
    EXPECT_PRED2(isA3, settled(300ms), 31.77) << "A3 is 216 Hz at 432";
    EXPECT_NEAR(outputPeak(), 0.5f, 0.002f);

    // Both takes hold the loop (a rotation of its codes, repeating every 2400
    // frames but where a cycle was lost) and a wet file equal to the DI (amp off,
    // below the limiter's ceiling).
    std::vector<int32_t> codes(loop.size());
    std::transform(loop.begin(), loop.end(), codes.begin(), code24);
    std::sort(codes.begin(), codes.end());
    for (const std::string name : {"plain", "tuning"}) {
        const auto di = readWithSndfile(path(name + "-di.wav")).samples, wet = readWithSndfile(path(name + "-wet.wav")).samples;
        ASSERT_GT(di.size(), rate / 2);
        EXPECT_EQ(wet, di) << name;
        std::vector<int32_t> first(di.begin(), di.begin() + 2400);
        std::sort(first.begin(), first.end());
        EXPECT_EQ(first, codes) << name;
        size_t breaks = 0;
        for (size_t i = 2400; i < di.size(); ++i) breaks += di[i] != di[i - 2400];
        EXPECT_LE(breaks, xruns * 2400u) << name;
    }
    EXPECT_EQ(engine.quit(), 0);
}

// Ways the front end can go away mid-take: each must leave both files finalised
// and the engine exiting 0. A closed stdout must not end it through SIGPIPE.
class TakeEnds : public Take, public ::testing::WithParamInterface<std::string> {};

TEST_P(TakeEnds, BothFilesAreFinalised) {
    ASSERT_TRUE(record(path("di.wav"), path("wet.wav"))["ok"].get<bool>());
    engine.settle(500ms);
    if (GetParam() == "Quit") engine.process().send(R"({"cmd":"quit"})");
    if (GetParam() == "EndOfInput") engine.process().closeInput();
    if (GetParam() == "ReaderGone") engine.process().closeOutput(); // the next level event meets a closed pipe
    EXPECT_EQ(engine.process().wait(10s), 0) << engine.process().stderrText();
    const int64_t frames = readWithSndfile(path("di.wav")).frames;
    EXPECT_GT(frames, int64_t(rate / 4));
    EXPECT_EQ(checkWav(path("di.wav"), rate, frames), "");
    EXPECT_EQ(checkWav(path("wet.wav"), rate, frames), "");
}

INSTANTIATE_TEST_SUITE_P(Front, TakeEnds, ::testing::Values("Quit", "EndOfInput", "ReaderGone"),
                         [](const auto& info) { return info.param; });

} // namespace
