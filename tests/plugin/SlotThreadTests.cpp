// The slot between threads: an audio thread processing without pause while the
// control thread loads, restarts and unloads, and a plug-in thread of its own
// reporting edits. Run also in the ThreadSanitizer build.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "TestPlugins.h"
#include "plugin/PluginSlot.h"

using namespace corvena;
using namespace corvena::test;

namespace {

class AudioThread {
public:
    AudioThread(PluginSlot& slot, int frames) : slot_(slot), frames_(frames) {
        thread_ = std::thread([this] { run(); });
    }
    ~AudioThread() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    int processed() const { return processed_; }
    int declined() const { return declined_; }
    bool garbage() const { return garbage_; }

private:
    void run() {
        std::vector<float> in(frames_), left(frames_), right(frames_);
        for (int i = 0; i < frames_; ++i)
            in[i] = 0.5f * std::sin(0.01f * i);
        while (!stop_) {
            if (slot_.process(in.data(), left.data(), right.data(), frames_)) {
                ++processed_;
                for (int i = 0; i < frames_; ++i)
                    if (!std::isfinite(left[i]) || !std::isfinite(right[i]) || std::fabs(left[i]) > 4.0f)
                        garbage_ = true;
            } else {
                ++declined_;
            }
        }
    }

    PluginSlot& slot_;
    const int frames_;
    std::atomic<bool> stop_{false};
    std::atomic<int> processed_{0}, declined_{0};
    std::atomic<bool> garbage_{false};
    std::thread thread_;
};

TEST(PluginSlotThreadsTest, LoadPrepareAndUnloadWhileTheAudioThreadProcesses) {
    ProbeHandle probe("CorvenaGain");
    PluginSlot slot;
    slot.prepare(48000.0, 256);
    AudioThread audio(slot, 256);
    std::string error;
    for (int round = 0; round < 60; ++round) {
        ASSERT_TRUE(slot.load(testBundle("CorvenaGain"), error)) << error;
        slot.prepare(round % 2 ? 44100.0 : 48000.0, 256);
        slot.prepare(48000.0, 512 + round); // a larger block each time
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (round % 3 == 0)
            slot.unload();
    }
    slot.unload();
    audio.stop();
    EXPECT_GT(audio.processed(), 0);
    EXPECT_FALSE(audio.garbage());
    EXPECT_EQ(probe->badProcessCalls, 0); // never a block into a half-prepared plug-in
    EXPECT_EQ(probe->components, 0);
}

TEST(PluginSlotThreadsTest, ZamPluginUnloadedAndReloadedUnderRunningAudio) {
    PluginSlot slot;
    AudioThread audio(slot, 128);
    std::string error;
    for (int round = 0; round < 15; ++round) {
        ASSERT_TRUE(slot.load(zamBundle(round % 2 ? "ZamTube" : "ZamComp"), error)) << error;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        slot.unload();
    }
    audio.stop();
    EXPECT_FALSE(audio.garbage());
}

// Edits from the control thread and from a plug-in thread of its own while the
// audio thread delivers them: every delivered value is one that was sent.
TEST(PluginSlotThreadsTest, EditsFromTwoThreadsWhileProcessing) {
    ProbeHandle probe("CorvenaGain");
    PluginSlot slot;
    std::string error;
    ASSERT_TRUE(slot.load(testBundle("CorvenaGain"), error)) << error;
    AudioThread audio(slot, 64);
    // Edit until the audio thread has delivered a good many blocks meanwhile.
    auto editor = [&](uint32_t id) {
        for (int i = 0; i < 5000 || audio.processed() < 200; ++i)
            probe->edit(id, (i % 100) / 100.0);
    };
    std::thread pluginThread(editor, 8u);
    editor(9u);
    pluginThread.join();
    audio.stop();
    EXPECT_GT(audio.processed(), 0);
    EXPECT_EQ(probe->badProcessCalls, 0);
    // After the writers stopped, one more block drains the ring; what it
    // carries must be whole entries of the two parameters.
    probe->edit(8u, 0.5);
    std::vector<float> in(64, 0.1f), l(64), r(64);
    ASSERT_TRUE(slot.process(in.data(), l.data(), r.data(), 64));
    ASSERT_GE(probe->lastChangeCount, 1);
    for (int i = 0; i < probe->lastChangeCount; ++i) {
        const auto& c = probe->lastChanges[i];
        EXPECT_TRUE(c.id == 8u || c.id == 9u);
        EXPECT_EQ(c.pointCount, 1);
        EXPECT_EQ(c.offset, 0);
        EXPECT_GE(c.value, 0.0);
        EXPECT_LE(c.value, 0.99);
    }
}

} // namespace
