// The audio thread never allocates and never waits for a lock: the callback's
// block on every path (amp, plug-in with edits, tuner, takes whether the disk
// keeps up or not) while the control thread changes everything it can.
#include "support/DiskStall.h"
#include "support/AllocationCounter.h"
#include "support/EngineRig.h"
#include "support/Process.h"
#include "support/TestPlugins.h"

#include "pluginterfaces/vst/ivsteditcontroller.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

namespace corvena {

namespace {
using test::AllocationCounter;

TEST(Realtime, BlocksAllocateNothingAndNeverWaitOnAnyPath) {
    { // the counter sees what it is meant to see
        AllocationCounter::reset();
        AllocationCounter::Scope scope;
        const auto m = std::make_unique<std::mutex>();
        std::lock_guard<std::mutex> lock(*m);
    }
    ASSERT_GE(AllocationCounter::allocations(), 1u);
    ASSERT_EQ(AllocationCounter::lockWaits(), 1u);

    test::EngineRig rig(64);
    Engine& e = rig.engine;
    test::ProbeHandle probe("CorvenaGain");
    std::string error;
    ASSERT_TRUE(e.loadPlugin(test::testBundle("CorvenaGain"), error)) << error;
    const std::string dir = test::freshTempDir("realtime");
    test::diskStalled.store(true);
    ASSERT_TRUE(e.startRecording(dir + "/di.wav", dir + "/wet.wav", error)) << error;
    e.setMetronome(true, 133.0f);
    const std::vector<float> note = test::sine(128 * 64, 196.0, 0.4f);
    std::vector<float> in(128 * 64);
    probe->edit(7, 0.5);
    rig.run(note.data()); // the first block with edits may size the change queues
    AllocationCounter::reset();
    for (int b = 0; b < 3000; ++b) {
        if (b % 50 == 0) { // what the control thread does meanwhile
            const AmpModel model = b % 100 == 0 ? AmpModel::Clean : AmpModel::Drive;
            e.setAmpSettings({model, 0.1f + 0.0004f * b, 0.5f, 0.5f, 0.5f, 0.7f, b % 200 == 0 ? 0.0f : 0.5f}, b % 300 != 0);
            e.setTestTone(b % 150 == 0, 440.0f, 0.1f);
            e.setMonitor(b % 350 != 0, 1.2f);
            e.setTuner(b % 150 != 50, 440.0f, b % 100 == 0);
            e.pluginEnabled.store(b < 1000 || b % 200 == 0);
            e.takeTunerReading();
            e.takeInputPeaks();
            e.takeOutputPeak();
        }
        if (b == 2000) test::diskStalled.store(false); // past the rings' four seconds: the writer drains from now on
        if (b > 2000 && b % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
        for (uint32_t id = 0; id < 20; id += 1 + b % 7) probe->edit(id, (b % 10) / 10.0);
        for (size_t i = 0; i < in.size(); ++i) in[i] = note[(i * 7 + b) % note.size()];
        AllocationCounter::Scope audioThread;
        rig.run(in.data(), b % 17 == 0 ? 200 : 128, b % 13 == 0 ? 1 : 0);
    }
    EXPECT_EQ(AllocationCounter::allocations(), 0u);
    EXPECT_EQ(AllocationCounter::lockWaits(), 0u);
    { // the plug-in's edit path (a thread of its own, which may lock), also past a full ring
        AllocationCounter::Scope pluginThread;
        for (int i = 0; i < 10000; ++i) probe->handler.load()->performEdit(static_cast<uint32_t>(i % 300), 0.25);
    }
    EXPECT_EQ(AllocationCounter::allocations(), 0u) << "the edit path";
    EXPECT_EQ(probe->badProcessCalls, 0);
    RecordingResult result;
    EXPECT_FALSE(e.stopRecording(result, error));
    EXPECT_EQ(error, "samples were dropped while writing to disk");
    EXPECT_EQ(result.frames, 3001u * 128);
    e.unloadPlugin();
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace corvena
