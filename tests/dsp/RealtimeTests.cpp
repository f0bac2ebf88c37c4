// The audio thread's discipline: no heap allocation, no blocking lock.
#include "DspTestUtil.h"
#include "EngineRig.h"
#include "support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace corvena {
namespace {
using test::AllocationCounter;
using test::EngineRig;

TEST(Realtime, CounterSeesAllocationsAndLocks) {
    AllocationCounter::reset();
    std::mutex m;
    {
        AllocationCounter::Scope scope;
        auto* p = new std::vector<float>(100);
        delete p;
        std::lock_guard<std::mutex> lock(m);
    }
    EXPECT_GE(AllocationCounter::allocations(), 2u);
    EXPECT_EQ(AllocationCounter::lockWaits(), 1u);
}

TEST(Realtime, BlocksAllocateNothingAndNeverWait) {
    EngineRig rig(64);
    Engine& e = rig.engine;
    e.wetPath = "wet.wav";
    e.recording.store(true);
    e.setMetronome(true, 133.0f);
    e.pluginEnabled.store(true);
    const std::vector<float> note = test::sine(128 * 64, 196.0, 48000.0, 0.4f);
    std::vector<float> in(128 * 64);
    std::vector<float> drain(48000);

    AllocationCounter::reset();
    for (int b = 0; b < 2000; ++b) {
        // Control-side changes between blocks, as the command thread makes them.
        if (b % 50 == 0) {
            AmpSettings s;
            s.model = b % 100 == 0 ? AmpModel::Clean : AmpModel::Drive;
            s.gain = 0.1f + 0.0004f * b;
            s.gate = b % 200 == 0 ? 0.0f : 0.5f;
            e.setAmpSettings(s, b % 300 != 0);
        }
        if (b % 70 == 0) e.setTestTone(b % 140 == 0, 440.0f, 0.1f);
        if (b % 90 == 0) e.setMonitor(b % 180 != 0, 1.2f);
        if (b % 10 == 0) {
            e.takeInputPeaks();
            e.takeOutputPeak();
            e.takeXrunCount();
            e.diRing.pop(drain.data(), drain.size());
            e.wetRing.pop(drain.data(), drain.size());
        }
        for (size_t i = 0; i < in.size(); ++i) in[i] = note[(i * 7 + b) % note.size()];
        AllocationCounter::Scope audioThread;
        rig.run(in.data(), b % 17 == 0 ? 200 : 128, b % 13 == 0 ? 1 : 0);
    }
    EXPECT_EQ(AllocationCounter::allocations(), 0u);
    EXPECT_EQ(AllocationCounter::lockWaits(), 0u);
    EXPECT_GT(e.framesRecorded.load(), 0u);
}

TEST(Realtime, HeldSettingsMutexOnlyPostponesTheChange) {
    EngineRig rig(2);
    Engine& e = rig.engine;
    AmpSettings clean;
    clean.model = AmpModel::Clean;
    e.setAmpSettings(clean, true);

    std::promise<void> locked, release;
    std::thread control([&] {
        std::lock_guard<std::mutex> hold(e.settingsMutex);
        locked.set_value();
        release.get_future().wait();
    });
    locked.get_future().wait();

    const std::vector<float> in(256, 0.1f);
    auto block = std::async(std::launch::async, [&] {
        AllocationCounter::Scope audioThread;
        for (int b = 0; b < 5; ++b) rig.run(in.data(), 128);
    });
    const bool finished = block.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(finished) << "processBlock waited for the settings mutex";
    EXPECT_TRUE(e.settingsChanged.load());
    EXPECT_EQ(e.amp.settings().model, AmpModel::Drive);

    release.set_value();
    control.join();
    block.wait();
    rig.run(in.data(), 128);
    EXPECT_FALSE(e.settingsChanged.load());
    EXPECT_EQ(e.amp.settings().model, AmpModel::Clean);
}

} // namespace
} // namespace corvena
