// Whole takes on an Engine object of the test's own, its stream set up by hand
// and its blocks driven through processBlock as the audio thread would, so
// the disk writer can be stalled and the files checked without an audio server.
#include "WavFiles.h"
#include "WavWriterProbe.h"
#include "engine/Engine.h"
#include "record/DiskWriterHook.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace corvena {

namespace {
std::atomic<Engine*> stalledEngine{nullptr};
} // namespace

// The disk writer waits here while its engine is marked as stalled, as it
// would inside a write to a disk that has stopped answering.
void beforeDiskWriterPass(Engine& engine) {
    while (stalledEngine.load() == &engine) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

namespace {

using namespace corvena::test;

constexpr uint32_t rate = 48000;
constexpr uint32_t block = 128;

class EngineTake : public ::testing::Test {
protected:
    void SetUp() override {
        dir = makeTempDir("take");
        e.info.sampleRate = rate;
        e.info.blockSize = block;
        e.inputChannelCount = 1;
        for (auto* b : {&e.diBuffer, &e.wetBuffer, &e.pluginLeft, &e.pluginRight}) b->assign(block, 0.0f);
        e.amp.prepare(rate, block);
        e.limiter.prepare(rate);
        e.diRing.resize(4 * rate + 1);
        e.wetRing.resize(4 * rate + 1);
        e.streamOpen.store(true);
    }
    void TearDown() override {
        stalledEngine.store(nullptr);
        std::filesystem::remove_all(dir);
    }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    // One block of the DI test signal: a slow ramp the 24-bit codes can follow exactly.
    float signalAt(uint64_t frame) const { return 0.4f * std::sin(0.0021f * static_cast<float>(frame % 100000)); }

    void feed(uint64_t blocks) {
        float in[block], out[2 * block];
        for (uint64_t b = 0; b < blocks; ++b) {
            for (uint32_t i = 0; i < block; ++i) in[i] = signalAt(fed + i);
            e.processBlock(out, in, block, 0);
            fed += block;
        }
    }

    Engine e;
    std::string dir;
    uint64_t fed = 0;
};

TEST_F(EngineTake, EachTakeStartsAfreshAndRestartsTheMetronomeBar) {
    std::string error;
    RecordingResult r;
    ASSERT_TRUE(e.startRecording(path("a.wav"), "", error));
    feed(10);
    ASSERT_TRUE(e.stopRecording(r, error));
    e.metronomeResetRequested.store(false);

    ASSERT_TRUE(e.startRecording(path("b.wav"), "", error));
    EXPECT_TRUE(e.metronomeResetRequested.load());
    EXPECT_EQ(e.framesRecorded.load(), 0u);
    feed(3);
    ASSERT_TRUE(e.stopRecording(r, error));
    EXPECT_EQ(r.frames, 3u * block);
    EXPECT_EQ(readWithSndfile(path("b.wav"), false).frames, 3 * block);
}

TEST_F(EngineTake, StartChecksComeInOrderAndChangeNothing) {
    std::string error;
    e.streamOpen.store(false);
    EXPECT_FALSE(e.startRecording("", "", error));
    EXPECT_EQ(error, "no audio stream is open");
    e.streamOpen.store(true);

    EXPECT_FALSE(e.startRecording("", path("wet.wav"), error));
    EXPECT_EQ(error, "a DI path is required");
    EXPECT_FALSE(std::filesystem::exists(path("wet.wav")));

    const std::string badDi = dir + "/no/such/dir/di.wav";
    EXPECT_FALSE(e.startRecording(badDi, path("wet.wav"), error));
    EXPECT_EQ(error, "could not open " + badDi + " for writing");
    EXPECT_FALSE(std::filesystem::exists(path("wet.wav")));

    ASSERT_TRUE(e.startRecording(path("first.wav"), "", error));
    feed(5);
    EXPECT_FALSE(e.startRecording("", path("other.wav"), error));
    EXPECT_EQ(error, "already recording");
    EXPECT_FALSE(e.startRecording(path("second.wav"), "", error));
    EXPECT_EQ(error, "already recording");
    EXPECT_FALSE(std::filesystem::exists(path("second.wav")));
    feed(5);
    RecordingResult r;
    ASSERT_TRUE(e.stopRecording(r, error)) << "the first take goes on: " << error;
    EXPECT_EQ(r.frames, 10u * block);
    EXPECT_EQ(readWithSndfile(path("first.wav"), false).frames, 10 * block);
}

TEST_F(EngineTake, OneFileForBothSignalsIsRefused) {
    // Two handles on one file would interleave DI and wet data into garbage.
    std::string error;
    for (const std::string& wet : {path("same.wav"), dir + "/./same.wav"}) {
        EXPECT_FALSE(e.startRecording(path("same.wav"), wet, error)) << wet;
        EXPECT_EQ(error, "the DI and wet paths name the same file");
        EXPECT_FALSE(e.recording.load());
        EXPECT_EQ(readWithSndfile(path("same.wav"), false).frames, 0) << "left as a valid empty WAV file";
    }
}

TEST_F(EngineTake, AStalledDiskDropsSamplesYetBothFilesStayValid) {
    std::string error;
    stalledEngine.store(&e);
    ASSERT_TRUE(e.startRecording(path("di.wav"), path("wet.wav"), error));
    const uint64_t blocks = 5 * rate / block; // five seconds while the disk does nothing
    feed(blocks);
    EXPECT_TRUE(e.samplesDropped.load());
    stalledEngine.store(nullptr);
    RecordingResult r;
    EXPECT_FALSE(e.stopRecording(r, error));
    EXPECT_EQ(error, "samples were dropped while writing to disk");
    EXPECT_EQ(r.frames, blocks * block) << "frames count what the callback handed over";
    for (const auto& p : {path("di.wav"), path("wet.wav")}) {
        EXPECT_EQ(checkConsistentWav(p, rate), "");
        EXPECT_EQ(readWithSndfile(p, false).frames, 4 * rate) << p << ": the ring's four seconds reach the file";
    }
    // What was kept is the start of the take, in order.
    const SndInfo di = readWithSndfile(path("di.wav"));
    ASSERT_EQ(di.samples.size(), 4u * rate);
    for (uint64_t i = 0; i < di.samples.size(); i += 997)
        ASSERT_EQ(di.samples[i], static_cast<int32_t>(signalAt(i) * 8388607.0f)) << "frame " << i;
}

TEST_F(EngineTake, ATakeThatReachesTheSizeLimitIsCutAndSaysSo) {
    WavWriterProbe::setDataLimit(e.diWriter, 3 * 1000);
    std::string error;
    ASSERT_TRUE(e.startRecording(path("di.wav"), path("wet.wav"), error));
    feed(20);
    RecordingResult r;
    EXPECT_FALSE(e.stopRecording(r, error));
    EXPECT_EQ(error, "the recording was cut at the WAV file size limit");
    EXPECT_EQ(r.frames, 20u * block);
    EXPECT_EQ(checkConsistentWav(path("di.wav"), rate), "");
    EXPECT_EQ(readWithSndfile(path("di.wav"), false).frames, 1000);
    EXPECT_EQ(readWithSndfile(path("wet.wav"), false).frames, 20 * block);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CORVENA_NO_ADDRESS_LIMIT 1
#endif

// The system refuses the writer thread: here by leaving the process no address
// space for its stack. Runs in a child process of its own.
TEST_F(EngineTake, AWriterThreadThatCannotStartLeavesEmptyValidFilesAndIdle) {
#ifdef CORVENA_NO_ADDRESS_LIMIT
    GTEST_SKIP() << "address-space limits do not mix with sanitizers";
#else
    // A fresh process: a forked one would reuse the stacks of earlier writer threads.
    // The child runs this body again from the start: it must use the parent's directory.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ::setenv("CORVENA_THREAD_FAILURE_DIR", dir.c_str(), 0);
    const std::string shared = std::getenv("CORVENA_THREAD_FAILURE_DIR");
    const std::string di = shared + "/di.wav", wet = shared + "/wet.wav";
    auto attempt = [&] {
        if (shared != dir) std::filesystem::remove_all(dir);
        std::ifstream status("/proc/self/status");
        std::string line;
        long vmKb = 0;
        while (std::getline(status, line))
            if (line.rfind("VmSize:", 0) == 0) vmKb = std::atol(line.c_str() + 7);
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(vmKb + 2048) * 1024;
        if (vmKb == 0 || setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(3);
        std::string error;
        const bool started = e.startRecording(di, wet, error);
        if (started) std::_Exit(4);
        if (error != "could not start the disk writer") std::_Exit(5);
        if (e.recording.load() || e.writerRunning.load() || e.diWriter.isOpen() || e.wetWriter.isOpen())
            std::_Exit(6);
        std::_Exit(0);
    };
    EXPECT_EXIT(attempt(), ::testing::ExitedWithCode(0), "");
    ::unsetenv("CORVENA_THREAD_FAILURE_DIR");
    EXPECT_EQ(checkConsistentWav(di, rate), "");
    EXPECT_EQ(checkConsistentWav(wet, rate), "");
    EXPECT_EQ(std::filesystem::file_size(di), 44u);
    EXPECT_EQ(std::filesystem::file_size(wet), 44u);
#endif
}

} // namespace
} // namespace corvena
