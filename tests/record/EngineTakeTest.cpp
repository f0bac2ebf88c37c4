// Whole takes on an Engine of the test's own, its blocks driven through
// processBlock, so the disk writer can be stalled without an audio server.
#include "WavFiles.h"
#include "support/DiskStall.h"
#include "support/EngineRig.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>

namespace corvena {

namespace {
using namespace corvena::test;

constexpr uint32_t rate = 48000, block = 128;

float signalAt(uint64_t frame) { return 0.4f * std::sin(0.0021f * static_cast<float>(frame % 100000)); }

class EngineTake : public ::testing::Test, protected TestFolder {
protected:
    void TearDown() override { test::diskStalled.store(false); }
    void feed(uint64_t blocks) {
        float in[block];
        for (uint64_t b = 0; b < blocks; ++b, fed += block) {
            for (uint32_t i = 0; i < block; ++i) in[i] = signalAt(fed + i);
            rig.run(in);
        }
    }

    EngineRig rig;
    Engine& e = rig.engine;
    std::string error;
    RecordingResult r;
    uint64_t fed = 0;
};

TEST_F(EngineTake, StartChecksInOrderThenEachTakeStartsAfresh) {
    auto refusal = [&](const std::string& di, const std::string& wet) { return e.startRecording(di, wet, error) ? "(started)" : error; };
    const std::string badDi = dir + "/no/such/dir/di.wav", badWet = dir + "/missing/wet.wav";
    EXPECT_EQ(refusal("", path("wet.wav")), "a DI path is required");
    EXPECT_EQ(refusal(badDi, path("wet.wav")), "could not open " + badDi + " for writing");
    EXPECT_FALSE(std::filesystem::exists(path("wet.wav")));
    EXPECT_EQ(refusal(path("di.wav"), badWet), "could not open " + badWet + " for writing");
    EXPECT_EQ(checkWav(path("di.wav"), rate, 0), "") << "left as a valid empty WAV file";
    // Two handles on one file would interleave DI and wet data into garbage.
    for (const std::string& wet : {path("same.wav"), dir + "/./same.wav"}) {
        EXPECT_EQ(refusal(path("same.wav"), wet), "the DI and wet paths name the same file") << wet;
        EXPECT_EQ(checkWav(path("same.wav"), rate, 0), "") << "left as a valid empty WAV file";
    }
    EXPECT_FALSE(e.recording.load());

    ASSERT_TRUE(e.startRecording(path("first.wav"), "", error));
    feed(5);
    ASSERT_TRUE(e.stopRecording(r, error)) << error;
    e.metronomeResetRequested.store(false);
    ASSERT_TRUE(e.startRecording(path("next.wav"), "", error));
    EXPECT_TRUE(e.metronomeResetRequested.load()) << "each take restarts the bar";
    EXPECT_EQ(e.framesRecorded.load(), 0u);
    feed(3);
    ASSERT_TRUE(e.stopRecording(r, error));
    EXPECT_EQ(r.frames, 3u * block);
    EXPECT_EQ(checkWav(path("next.wav"), rate, 3 * block), "");
}

TEST_F(EngineTake, AStalledDiskDropsSamplesYetBothFilesStayValid) {
    test::diskStalled.store(true);
    ASSERT_TRUE(e.startRecording(path("di.wav"), path("wet.wav"), error));
    const uint64_t blocks = 5 * rate / block; // five seconds while the disk does nothing
    feed(blocks);
    EXPECT_TRUE(e.samplesDropped.load());
    test::diskStalled.store(false);
    EXPECT_EQ(e.stopRecording(r, error) ? "(stopped)" : error, "samples were dropped while writing to disk");
    EXPECT_EQ(r.frames, blocks * block) << "frames count what the callback handed over";
    // The rings' four seconds reach the files: the start of the take, in order.
    EXPECT_EQ(checkWav(path("wet.wav"), rate, 4 * rate) + checkWav(path("di.wav"), rate, 4 * rate), "");
    const auto di = readSamples(path("di.wav"));
    for (uint64_t i = 0; i < di.size(); i += 997)
        ASSERT_EQ(di[i], static_cast<int32_t>(signalAt(i) * 8388607.0f)) << "frame " << i;
}

// The header's sizes are 32-bit: a file stops growing before they would wrap,
// at a whole frame, keeps its header true, and the next take starts uncut.
TEST_F(EngineTake, ATakeThatReachesTheSizeLimitIsCutAndSaysSo) {
    e.diWriter.~WavWriter(); // the engine's DI writer, with room for 1000 frames, not 1000 2/3
    new (&e.diWriter) WavWriter(3 * 1000 + 2);
    ASSERT_TRUE(e.startRecording(path("di.wav"), path("wet.wav"), error));
    feed(20);
    EXPECT_EQ(e.stopRecording(r, error) ? "(stopped)" : error, "the recording was cut at the WAV file size limit");
    EXPECT_EQ(r.frames, 20u * block);
    EXPECT_EQ(checkWav(path("di.wav"), rate, 1000) + checkWav(path("wet.wav"), rate, 20 * block), "");
    ASSERT_TRUE(e.startRecording(path("next.wav"), "", error));
    feed(2);
    EXPECT_TRUE(e.stopRecording(r, error)) << error;
}

// The system refuses the writer thread: the child process (a fresh one, which
// reruns this test from the start) leaves itself no address space for its stack.
TEST_F(EngineTake, AWriterThreadThatCannotStartLeavesEmptyValidFilesAndIdle) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "address-space limits do not mix with sanitizers";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ::setenv("CORVENA_THREAD_FAILURE_DIR", dir.c_str(), 0); // the child writes where the parent looks
    const std::string shared = std::getenv("CORVENA_THREAD_FAILURE_DIR");
    auto attempt = [&] {
        if (shared != dir) std::filesystem::remove_all(dir);
        std::ifstream status("/proc/self/status");
        long vmKb = 0;
        for (std::string key; status >> key && key != "VmSize:";) {}
        status >> vmKb;
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(vmKb + 2048) * 1024;
        if (vmKb == 0 || setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(3);
        if (e.startRecording(shared + "/di.wav", shared + "/wet.wav", error)) std::_Exit(4);
        if (error != "could not start the disk writer") std::_Exit(5);
        const bool idle = !e.recording.load() && !e.writerRunning.load() && !e.diWriter.isOpen() && !e.wetWriter.isOpen();
        std::_Exit(idle ? 0 : 6);
    };
    EXPECT_EXIT(attempt(), ::testing::ExitedWithCode(0), "");
    ::unsetenv("CORVENA_THREAD_FAILURE_DIR");
    EXPECT_EQ(checkWav(dir + "/di.wav", rate, 0) + checkWav(dir + "/wet.wav", rate, 0), "");
#endif
}

} // namespace
} // namespace corvena
