// Takes through the real engine process on the binary's private JACK server:
// the tests' own JACK client feeds the engine's input and captures its output,
// and libsndfile reads the files back.
#include "WavFiles.h"
#include "audio/AudioSession.h"

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>
#include <unordered_map>

using namespace corvena::test;
using namespace std::chrono_literals;

static auto* const jackEnvironment = ::testing::AddGlobalTestEnvironment(new JackEnvironment);

namespace {

constexpr uint32_t rate = 48000;
constexpr uint32_t block = 128;

int32_t code24(float x) {
    if (!(x < 1.0f)) x = 1.0f;
    if (x < -1.0f) x = -1.0f;
    return static_cast<int32_t>(x * 8388607.0f);
}

// A noise-like loop that never repeats within its length, so any stretch of it
// tells where in the loop it came from.
std::vector<float> patternLoop(size_t length) {
    std::vector<float> v(length);
    uint32_t state = 0x2545F491u;
    for (auto& x : v) {
        state = state * 1664525u + 1013904223u;
        x = (static_cast<float>(state >> 8) / 16777216.0f - 0.5f) * 1.2f;
    }
    return v;
}

// Where `needle` (24-bit codes) lies in `haystack` (floats, as codes), trying
// every place whose first code matches; -1 when nowhere. With `wrap` the
// haystack is a loop.
long locate(const std::vector<int32_t>& needle, const std::vector<float>& haystack, bool wrap, size_t checkLength) {
    std::unordered_multimap<int32_t, size_t> first;
    for (size_t k = 0; k < haystack.size(); ++k) first.emplace(code24(haystack[k]), k);
    auto range = first.equal_range(needle.at(0));
    for (auto it = range.first; it != range.second; ++it) {
        const size_t start = it->second;
        bool all = true;
        for (size_t i = 0; i < checkLength && i < needle.size() && all; ++i) {
            size_t at = start + i;
            if (at >= haystack.size()) {
                if (!wrap) return -1;
                at %= haystack.size();
            }
            all = code24(haystack[at]) == needle[i];
        }
        if (all) return static_cast<long>(start);
    }
    return -1;
}

// Follows `codes` through the loop from `start`. On a busy machine a cycle can
// be lost to an xrun: the engine then misses a block of the loop (a jump
// forward) or gets the feeder's last block again (a jump back). Such jumps are
// counted; anything else that differs is wrong.
struct SkipCheck {
    uint64_t wrong = 0;
    uint64_t jumps = 0;
};
SkipCheck followLoop(const std::vector<int32_t>& codes, const std::vector<float>& loop, size_t start) {
    SkipCheck out;
    const long length = static_cast<long>(loop.size());
    long pos = static_cast<long>(start);
    auto codeAt = [&](long p) { return code24(loop[static_cast<size_t>(((p % length) + length) % length)]); };
    auto matchesAt = [&](size_t i, long p) {
        for (size_t k = 0; k < 32 && i + k < codes.size(); ++k)
            if (codes[i + k] != codeAt(p + static_cast<long>(k))) return false;
        return true;
    };
    for (size_t i = 0; i < codes.size(); ++i, ++pos) {
        if (codes[i] == codeAt(pos)) continue;
        bool found = false;
        for (long jump = 1; jump <= 8 && !found; ++jump)
            for (long sign : {1L, -1L})
                if (!found && matchesAt(i, pos + sign * jump * static_cast<long>(block))) {
                    pos += sign * jump * static_cast<long>(block);
                    found = true;
                }
        if (found) ++out.jumps;
        else ++out.wrong;
    }
    return out;
}

// The server's own count of frames, read from a client of the test's own: on a
// busy machine the dummy driver can run slower than the wall clock.
class ServerClock {
public:
    explicit ServerClock(const std::string& server) {
        client_ = jack_client_open("RecordClock", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                   nullptr, server.c_str());
        if (client_ != nullptr) jack_activate(client_);
    }
    ~ServerClock() {
        if (client_ != nullptr) jack_client_close(client_);
    }
    bool ok() const { return client_ != nullptr; }
    uint64_t frames() const { return jack_last_frame_time(client_); }

private:
    jack_client_t* client_ = nullptr;
};

class Take : public ::testing::Test {
protected:
    void SetUp() override {
        dir = makeTempDir("proc");
        ASSERT_TRUE(engine.ready());
        json r = engine.request({{"cmd", "open"}});
        ASSERT_TRUE(r["ok"].get<bool>()) << r.dump();
        ASSERT_EQ(r["sampleRate"].get<uint32_t>(), rate);
        ASSERT_TRUE(peer.ok()) << peer.error();
        ASSERT_TRUE(peer.connectToEngine());
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string path(const std::string& name) const { return dir + "/" + name; }
    json record(const std::string& di, const std::string& wet = "") {
        json body = {{"cmd", "record"}, {"diPath", di}};
        if (!wet.empty()) body["wetPath"] = wet;
        return engine.request(body);
    }
    json stop() { return engine.request({{"cmd", "stop"}}); }

    std::string dir;
    AudioSession engine;
    JackPeer peer{JackEnvironment::server().name(), "RecordPeer"};
};

TEST_F(Take, TenSecondsOfTheFedSignalAndTheProcessedSignal) {
    const auto loop = patternLoop(1u << 18);
    peer.setLoop(0, loop);
    ASSERT_TRUE(engine.request({{"cmd", "monitor"}, {"enabled", true}, {"level", 1.0}})["ok"].get<bool>());
    engine.settle(100ms);

    const std::string di = path("di.wav"), wet = path("wet.wav");
    ServerClock server(JackEnvironment::server().name());
    ASSERT_TRUE(server.ok());
    const uint32_t xrunsBefore = peer.xruns();
    const uint64_t recordSent = server.frames();
    json r = record(di, wet);
    const uint64_t recordReplied = server.frames();
    ASSERT_TRUE(r["ok"].get<bool>()) << r.dump();

    // Mid-take: a second record is refused, the level events count the take,
    // and a stretch of the output is kept to compare with the wet file.
    engine.settle(500ms);
    json again = record(path("other.wav"));
    EXPECT_FALSE(again["ok"].get<bool>());
    EXPECT_EQ(again["error"], "already recording");
    EXPECT_FALSE(std::filesystem::exists(path("other.wav")));
    auto level = engine.nextLevel();
    ASSERT_TRUE(level.has_value());
    ASSERT_TRUE(level->contains("frames")) << level->dump();
    EXPECT_GT((*level)["frames"].get<uint64_t>(), 0u);
    std::vector<std::vector<float>> output;
    std::thread capturing([&] { output = peer.capture(rate); });
    // Ten seconds by the server's clock.
    while (server.frames() - recordReplied < 10 * rate - block / 2) {
        const uint64_t left = 10 * rate - (server.frames() - recordReplied);
        engine.settle(std::chrono::milliseconds(std::clamp<uint64_t>(left * 1000 / rate, 1, 200)));
    }
    capturing.join();

    const uint64_t stopSent = server.frames();
    json s = stop();
    const uint64_t stopReplied = server.frames();
    // Cycles lost on a busy machine are not recorded; the server reports them as xruns.
    const uint64_t xrunsDuringTake = peer.xruns() - xrunsBefore;
    ASSERT_TRUE(s["ok"].get<bool>()) << s.dump();
    EXPECT_EQ(s["diPath"], di);
    EXPECT_EQ(s["wetPath"], wet);
    const uint64_t frames = s["frames"].get<uint64_t>();
    EXPECT_EQ(frames % block, 0u) << "whole blocks are recorded";
    EXPECT_NEAR(s["seconds"].get<double>(), 10.0, (2.0 + xrunsDuringTake) * block / rate + 0.05);
    EXPECT_DOUBLE_EQ(s["seconds"].get<double>(), static_cast<double>(frames) / rate);
    // The take runs at least from the record reply to the stop request and at most
    // from the record request to the stop reply: one block of slack at each end,
    // and a block for each cycle the engine lost.
    EXPECT_GE(frames + (2 + xrunsDuringTake) * block, stopSent - recordReplied);
    EXPECT_LE(frames, stopReplied - recordSent + 2 * block);

    for (const auto& p : {di, wet}) EXPECT_EQ(checkConsistentWav(p, rate), "");
    const SndInfo diFile = readWithSndfile(di), wetFile = readWithSndfile(wet);
    ASSERT_EQ(diFile.samples.size(), frames);
    ASSERT_EQ(wetFile.samples.size(), frames);

    // The DI file is the fed loop, sample for sample, from wherever the take began.
    const long start = locate(diFile.samples, loop, true, 64);
    ASSERT_GE(start, 0) << "the DI file does not hold the fed signal";
    const SkipCheck check = followLoop(diFile.samples, loop, static_cast<size_t>(start));
    EXPECT_EQ(check.wrong, 0u) << "DI samples differing from the fed signal";
    EXPECT_LE(check.jumps, xrunsDuringTake) << "breaks in the DI signal beyond the xruns";

    // The wet file is what the engine played (monitor level 1), not the DI signal.
    ASSERT_EQ(output.size(), 2u);
    ASSERT_EQ(output[0].size(), rate);
    std::vector<int32_t> played(output[0].size());
    std::transform(output[0].begin(), output[0].end(), played.begin(), code24);
    // Each stretch of the played output lies in the wet file, code for code
    // (a stretch with a lost cycle in it excepted).
    constexpr size_t stretch = 2048;
    size_t stretches = 0, found = 0;
    for (size_t from = 0; from + stretch <= played.size(); from += stretch, ++stretches) {
        for (size_t k = 0; k + stretch <= wetFile.samples.size(); ++k) {
            if (wetFile.samples[k] == played[from] &&
                std::equal(played.begin() + from, played.begin() + from + stretch, wetFile.samples.begin() + k)) {
                ++found;
                break;
            }
        }
    }
    EXPECT_GE(found + xrunsDuringTake, stretches) << "played stretches missing from the wet file";
    EXPECT_GT(found, 0u);
    uint64_t same = 0;
    for (uint64_t i = 0; i < frames; ++i) same += wetFile.samples[i] == diFile.samples[i];
    EXPECT_LT(same, frames / 10) << "the wet file looks unprocessed";
    EXPECT_EQ(engine.quit(), 0);
}

TEST_F(Take, WithoutAWetPathOnlyTheDiFileIsWritten) {
    peer.setSine(0, 220.0f, 0.5f);
    ASSERT_TRUE(record(path("di.wav"))["ok"].get<bool>());
    engine.settle(300ms);
    json s = stop();
    ASSERT_TRUE(s["ok"].get<bool>()) << s.dump();
    EXPECT_EQ(s["wetPath"], "");
    EXPECT_EQ(checkConsistentWav(path("di.wav"), rate), "");
    EXPECT_EQ(readWithSndfile(path("di.wav"), false).frames, s["frames"].get<int64_t>());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    EXPECT_EQ(engine.quit(), 0);
}

TEST_F(Take, AWetPathInAMissingDirectoryFailsAndLeavesAnEmptyDiFile) {
    const std::string badWet = dir + "/missing/wet.wav";
    json r = record(path("di.wav"), badWet);
    EXPECT_FALSE(r["ok"].get<bool>());
    EXPECT_EQ(r["error"], "could not open " + badWet + " for writing");
    EXPECT_EQ(std::filesystem::file_size(path("di.wav")), 44u);
    EXPECT_EQ(checkConsistentWav(path("di.wav"), rate), "");
    EXPECT_FALSE(engine.request({{"cmd", "status"}})["recording"].get<bool>());
    EXPECT_EQ(stop()["error"], "not recording");
    EXPECT_EQ(engine.quit(), 0);
}

TEST_F(Take, StopAfterCloseKeepsWhatWasCaptured) {
    peer.setSine(0, 220.0f, 0.5f);
    ASSERT_TRUE(record(path("di.wav"), path("wet.wav"))["ok"].get<bool>());
    engine.settle(300ms);
    ASSERT_TRUE(engine.request({{"cmd", "close"}})["ok"].get<bool>());
    json refused = engine.request({{"cmd", "open"}});
    EXPECT_FALSE(refused["ok"].get<bool>());
    EXPECT_EQ(refused["error"], "cannot open a stream while recording");
    json s = stop();
    ASSERT_TRUE(s["ok"].get<bool>()) << s.dump();
    EXPECT_EQ(s["seconds"].get<double>(), 0.0);
    const int64_t frames = s["frames"].get<int64_t>();
    EXPECT_GT(frames, 0);
    for (const auto& p : {path("di.wav"), path("wet.wav")}) {
        EXPECT_EQ(checkConsistentWav(p, rate), "");
        EXPECT_EQ(readWithSndfile(p, false).frames, frames);
    }
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

    ASSERT_EQ(output.size(), 2u);
    ASSERT_EQ(output[0].size(), 4u * rate);
    // Click onsets: each click starts with a 0 sample and then sounds.
    std::vector<size_t> onsets;
    for (size_t i = 1; i < output[0].size(); ++i)
        if (output[0][i] != 0.0f && (onsets.empty() || i > onsets.back() + 2000)) onsets.push_back(i - 1);
    ASSERT_FALSE(onsets.empty()) << "no click on the output";
    EXPECT_EQ(onsets[0] % block, 0u) << "the first click starts a block";
    const size_t expectedClicks = (frames + 23999) / 24000;
    ASSERT_EQ(onsets.size(), expectedClicks) << "take of " << frames << " frames";
    // The clicks keep time in frames of the take; a cycle the engine lost to an
    // xrun delays the later ones on the output by one block.
    const size_t lostBlocks = peer.xruns() - xrunsBefore;
    for (size_t k = 0; k < onsets.size(); ++k) {
        const size_t late = onsets[k] - onsets[0] - k * 24000;
        EXPECT_TRUE(late % block == 0 && late <= lostBlocks * block)
            << "click " << k << " at " << onsets[k] - onsets[0] << " with " << lostBlocks << " xruns";
    }
    EXPECT_EQ(output[0], output[1]);

    for (const auto& p : {path("di.wav"), path("wet.wav")}) {
        EXPECT_EQ(checkConsistentWav(p, rate), "");
        const SndInfo f = readWithSndfile(p);
        EXPECT_EQ(f.samples.size(), frames);
        int32_t peak = 0;
        for (int32_t v : f.samples) peak = std::max(peak, std::abs(v));
        EXPECT_LT(peak, 8388607 / 1000) << p << " carries sound: the click must not be recorded";
    }
    EXPECT_EQ(engine.quit(), 0);
}

TEST_F(Take, AFileThatCannotBeFinalisedIsReported) {
    peer.setSine(0, 220.0f, 0.5f);
    ASSERT_TRUE(record("/dev/full", path("wet.wav"))["ok"].get<bool>());
    engine.settle(300ms);
    json s = stop();
    EXPECT_FALSE(s["ok"].get<bool>());
    EXPECT_EQ(s["error"], "the recording could not be finalised");
    EXPECT_GT(s["frames"].get<uint64_t>(), 0u);
    EXPECT_EQ(s["diPath"], "/dev/full");
    EXPECT_EQ(checkConsistentWav(path("wet.wav"), rate), "");
    EXPECT_EQ(engine.quit(), 0);
}

// Ways the front end can go away mid-take: every one must leave both files finalised.
class TakeEnds : public Take {
protected:
    void startTake() {
        peer.setSine(0, 220.0f, 0.5f);
        ASSERT_TRUE(record(path("di.wav"), path("wet.wav"))["ok"].get<bool>());
        engine.settle(500ms);
    }
    void expectFinishedFiles() {
        for (const auto& p : {path("di.wav"), path("wet.wav")}) {
            EXPECT_EQ(checkConsistentWav(p, rate), "");
            EXPECT_GT(readWithSndfile(p, false).frames, static_cast<int64_t>(rate / 4)) << p;
        }
        EXPECT_EQ(readWithSndfile(path("di.wav"), false).frames, readWithSndfile(path("wet.wav"), false).frames);
    }
};

TEST_F(TakeEnds, Quit) {
    startTake();
    EXPECT_EQ(engine.quit(), 0);
    expectFinishedFiles();
}

TEST_F(TakeEnds, EndOfInput) {
    startTake();
    engine.process().closeInput();
    EXPECT_EQ(engine.process().wait(10s), 0);
    expectFinishedFiles();
}

TEST_F(TakeEnds, TheReaderOfItsOutputGoesAway) {
    startTake();
    engine.process().closeOutput(); // the next level event meets a closed pipe
    EXPECT_EQ(engine.process().wait(10s), 0) << engine.process().stderrText();
    expectFinishedFiles();
}

} // namespace
