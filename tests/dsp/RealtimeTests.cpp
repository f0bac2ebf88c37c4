// The audio thread's discipline: no heap allocation, no blocking lock.
#include "DspTestKit.h"
#include "support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace corvena {
namespace {
using test::AllocationCounter;

TEST(Realtime, BlocksAllocateNothingAndNeverWait) {
    test::EngineRig rig(64);
    Engine& e = rig.engine;
    e.wetPath = "wet.wav";
    e.recording.store(true);
    e.setMetronome(true, 133.0f);
    e.pluginEnabled.store(true);
    e.streamOpen.store(true); // so that the tuner's side reads its ring
    const std::vector<float> note = test::sine(128 * 64, 196.0, 0.4f);
    std::vector<float> in(128 * 64), drain(48000);
    { // the counter sees what it is meant to see
        AllocationCounter::Scope scope;
        const auto m = std::make_unique<std::mutex>();
        std::lock_guard<std::mutex> lock(*m);
    }
    ASSERT_GE(AllocationCounter::allocations(), 1u);
    ASSERT_EQ(AllocationCounter::lockWaits(), 1u);
    AllocationCounter::reset();
    for (int b = 0; b < 2000; ++b) {
        if (b % 50 == 0) { // what the control thread does meanwhile
            const AmpModel model = b % 100 == 0 ? AmpModel::Clean : AmpModel::Drive;
            e.setAmpSettings({model, 0.1f + 0.0004f * b, 0.5f, 0.5f, 0.5f, 0.7f, b % 200 == 0 ? 0.0f : 0.5f}, b % 300 != 0);
            e.setTestTone(b % 150 == 0, 440.0f, 0.1f);
            e.setMonitor(b % 350 != 0, 1.2f);
            e.setTuner(b % 150 != 50, 440.0f, b % 100 == 0);
            e.takeTunerReading();
            e.takeInputPeaks();
            e.takeOutputPeak();
            e.diRing.pop(drain.data(), drain.size());
            e.wetRing.pop(drain.data(), drain.size());
        }
        for (size_t i = 0; i < in.size(); ++i) in[i] = note[(i * 7 + b) % note.size()];
        AllocationCounter::Scope audioThread;
        rig.run(in.data(), b % 17 == 0 ? 200 : 128, b % 13 == 0 ? 1 : 0);
    }
    EXPECT_EQ(AllocationCounter::allocations(), 0u);
    EXPECT_EQ(AllocationCounter::lockWaits(), 0u);
    EXPECT_EQ(e.framesRecorded.load(), 2000u * 128);
    EXPECT_EQ(e.tunerRing.pop(drain.data(), drain.size()), 50u * 128) << "the tuner's hand-off since the last read";
}

TEST(Realtime, HeldSettingsMutexOnlyPostponesTheChange) {
    test::EngineRig rig;
    rig.engine.setAmpSettings({AmpModel::Clean}, true);
    std::promise<void> locked, release;
    std::thread control([&] {
        std::lock_guard<std::mutex> hold(rig.engine.settingsMutex);
        locked.set_value();
        release.get_future().wait();
    });
    locked.get_future().wait();
    const std::vector<float> in(128, 0.1f);
    auto blocks = std::async(std::launch::async, [&] {
        for (int b = 0; b < 5; ++b) rig.run(in.data());
    });
    EXPECT_EQ(blocks.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the callback waited";
    EXPECT_TRUE(rig.engine.settingsChanged.load());
    EXPECT_EQ(rig.engine.tone.amp().settings().model, AmpModel::Drive);
    release.set_value();
    control.join();
    blocks.wait();
    rig.run(in.data());
    EXPECT_EQ(rig.engine.tone.amp().settings().model, AmpModel::Clean);
}

} // namespace
} // namespace corvena
