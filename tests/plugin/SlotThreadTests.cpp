// The slot between threads: an audio thread processing without pause while the
// control thread loads, restarts and unloads. Run also in the ThreadSanitizer
// build; edits from a second writer thread are covered by HostingTests.cpp.
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

// Our gain plug-in alternates with zam-plugins, each restarted for other
// rates and larger blocks and often unloaded, while blocks keep coming.
TEST(PluginSlotThreadsTest, LoadPrepareAndUnloadWhileTheAudioThreadProcesses) {
    ProbeHandle probe("CorvenaGain");
    PluginSlot slot;
    slot.prepare(48000.0, 256);
    std::atomic<bool> stop{false}, garbage{false};
    std::atomic<int> processed{0};
    std::thread audio([&] {
        std::vector<float> in(256), left(256), right(256);
        for (int i = 0; i < 256; ++i)
            in[i] = 0.5f * std::sin(0.01f * i);
        while (!stop) {
            if (!slot.process(in.data(), left.data(), right.data(), 256))
                continue;
            ++processed;
            for (int i = 0; i < 256; ++i)
                if (!std::isfinite(left[i]) || !std::isfinite(right[i]) || std::fabs(left[i]) > 4.0f)
                    garbage = true;
        }
    });
    std::string error;
    for (int round = 0; round < 60; ++round) {
        const std::string other = kHaveZam ? zamBundle(round % 8 == 1 ? "ZamTube" : "ZamComp") : testBundle("CorvenaTwoClasses");
        const std::string path = round % 4 == 1 ? other : testBundle("CorvenaGain");
        EXPECT_TRUE(slot.load(path, error)) << error;
        slot.prepare(round % 2 ? 44100.0 : 48000.0, 256);
        slot.prepare(48000.0, 512 + round);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        if (round % 3 == 0)
            slot.unload();
    }
    slot.unload();
    stop = true;
    audio.join();
    EXPECT_GT(processed, 0);
    EXPECT_FALSE(garbage);
    EXPECT_EQ(probe->badProcessCalls, 0); // never a block into a half-prepared plug-in
    EXPECT_EQ(probe->components, 0);
}

} // namespace
