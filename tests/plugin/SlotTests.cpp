// PluginSlot on the control thread and its process step, driven directly.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <vector>

#include "TestPlugins.h"
#include "plugin/PluginSlot.h"

#include "pluginterfaces/vst/ivsteditcontroller.h"

using namespace corvena;
using namespace corvena::test;
using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

constexpr uint32_t kGainId = 7;

struct Block {
    explicit Block(int n, float fill = 0.25f) : in(n), left(n, -9.0f), right(n, -9.0f) {
        for (int i = 0; i < n; ++i)
            in[i] = fill * std::sin(0.05f * i);
    }
    int size() const { return static_cast<int>(in.size()); }
    bool untouched() const {
        for (size_t i = 0; i < left.size(); ++i)
            if (left[i] != -9.0f || right[i] != -9.0f)
                return false;
        return true;
    }
    std::vector<float> in, left, right;
};

bool run(PluginSlot& slot, Block& b) { return slot.process(b.in.data(), b.left.data(), b.right.data(), b.size()); }

void expectEmpty(const PluginSlot& slot) {
    EXPECT_FALSE(slot.isReady());
    EXPECT_EQ(slot.pluginName(), "");
    EXPECT_EQ(slot.pluginPath(), "");
}

TEST(PluginSlotTest, LoadReportsNameAndPathAsGivenAndSetsUpAtTheDefaults) {
    ProbeHandle probe("CorvenaGain");
    PluginSlot slot;
    expectEmpty(slot);
    Block none(64);
    EXPECT_FALSE(run(slot, none)); // nothing loaded: declined at once
    EXPECT_TRUE(none.untouched());
    EXPECT_TRUE(pluginHostingAvailable());
    for (const std::string& path : {testBundle("CorvenaGain") + "/", testLibrary("CorvenaGain")}) {
        std::string error;
        ASSERT_TRUE(slot.load(path, error)) << error;
        EXPECT_TRUE(slot.isReady());
        EXPECT_EQ(slot.pluginName(), "Corvena Test Gain");
        EXPECT_EQ(slot.pluginPath(), path);
    }
    EXPECT_EQ(probe->setupRate, 48000.0);
    EXPECT_EQ(probe->setupMaxBlock, 512);
    EXPECT_TRUE(probe->active);
    EXPECT_TRUE(probe->processing);
    EXPECT_EQ(probe->components, 1); // the first load was torn down by the second
    EXPECT_EQ(probe->componentTerminates, 1);
    EXPECT_EQ(probe->inputArrangementChannels, 1); // a mono input was accepted

    slot.unload();
    slot.unload(); // idempotent
    expectEmpty(slot);
    EXPECT_FALSE(probe->active);
    EXPECT_FALSE(probe->processing);
    EXPECT_EQ(probe->handler.load(), nullptr); // handler taken back before teardown
    EXPECT_EQ(probe->components, 0);
    EXPECT_EQ(probe->controllers, 0);

    // Of two audio classes the first in factory order; a class without a
    // controller is accepted.
    std::string error;
    ASSERT_TRUE(slot.load(testBundle("CorvenaTwoClasses"), error)) << error;
    EXPECT_EQ(slot.pluginName(), "Corvena Two Classes");
    ASSERT_TRUE(slot.load(testBundle("CorvenaNoController"), error)) << error;
    EXPECT_TRUE(slot.isReady());
}

TEST(PluginSlotTest, ProcessHandsTheBlockToThePluginAndReturnsItsOutput) {
    ProbeHandle probe("CorvenaGain");
    PluginSlot slot;
    std::string error;
    ASSERT_TRUE(slot.load(testBundle("CorvenaGain"), error)) << error;
    Block b(128);
    ASSERT_TRUE(run(slot, b));
    EXPECT_EQ(b.left, b.in); // unity gain
    EXPECT_EQ(b.right, b.in);
    EXPECT_EQ(probe->lastNumSamples, 128);
    EXPECT_EQ(probe->inputChannels, 1);
    EXPECT_EQ(probe->outputChannels, 2);
    EXPECT_TRUE(probe->outputChangesNull);
    EXPECT_TRUE(probe->eventsNull);
    EXPECT_EQ(probe->contextRate, 48000.0);
    EXPECT_EQ(probe->contextTempo, 120.0);
    EXPECT_EQ(probe->contextState, 0);
    EXPECT_EQ(probe->badProcessCalls, 0);
}

TEST(PluginSlotTest, MonoOutputGoesToBothSidesAndStereoInputGetsTheSignalTwice) {
    {
        ProbeHandle probe("CorvenaMonoOut");
        PluginSlot slot;
        std::string error;
        ASSERT_TRUE(slot.load(testBundle("CorvenaMonoOut"), error)) << error;
        Block b(100);
        ASSERT_TRUE(run(slot, b));
        EXPECT_EQ(probe->outputChannels, 1);
        EXPECT_EQ(b.left, b.in);
        EXPECT_EQ(b.right, b.in);
    }
    {
        ProbeHandle probe("CorvenaStereoIn");
        PluginSlot slot;
        std::string error;
        ASSERT_TRUE(slot.load(testBundle("CorvenaStereoIn"), error)) << error;
        EXPECT_EQ(probe->inputArrangementChannels, 2); // after the mono arrangement was refused
        Block b(100);
        ASSERT_TRUE(run(slot, b));
        EXPECT_EQ(probe->inputChannels, 2);
        EXPECT_TRUE(probe->inputsIdentical);
        EXPECT_EQ(b.right, b.in);
    }
}

struct FailureCase {
    std::string path;
    std::string message;
};

// Every failure leaves the slot Empty, also when a plug-in was loaded before,
// and releases everything the failed load had created.
TEST(PluginSlotTest, EveryLoadFailureHasItsMessageAndLeavesTheSlotEmpty) {
    const std::string text = ::testing::TempDir() + "corvena_slot_text.txt";
    std::ofstream(text) << "hello\n";
    const std::string missing = "/nonexistent/Missing.vst3";
    const std::string noFactory = std::string(CORVENA_TEST_PLUGIN_DIR) + "/NoFactory.so";
    const std::vector<FailureCase> cases = {
        {missing, "could not load " + missing},
        {text, "could not load " + text},
        {noFactory, "the module does not export GetPluginFactory"},
        {testBundle("CorvenaFailEntry"), "the module's ModuleEntry failed"},
        {testBundle("CorvenaControllerOnly"), "no audio-effect class in " + testBundle("CorvenaControllerOnly")},
        {testBundle("CorvenaFailInit"), "plugin failed to initialise"},
        {testBundle("CorvenaNoProcessor"), "plugin has no audio processor"},
        {testBundle("CorvenaRefuseSetup"), "plugin rejected the sample rate or buffer size"},
        {testBundle("CorvenaRefuseActive"), "plugin would not activate"},
        {testBundle("CorvenaNoInput"), "plugin has no audio input bus"},
        {testBundle("CorvenaNoOutput"), "plugin has no audio output bus"},
    };
    ProbeHandle gain("CorvenaGain");
    for (bool loadedBefore : {false, true}) {
        for (const FailureCase& c : cases) {
            SCOPED_TRACE(c.path + (loadedBefore ? " after a good load" : ""));
            PluginSlot slot;
            std::string error;
            if (loadedBefore) {
                ASSERT_TRUE(slot.load(testBundle("CorvenaGain"), error)) << error;
                error = "stale";
            }
            EXPECT_FALSE(slot.load(c.path, error));
            EXPECT_EQ(error, c.message);
            expectEmpty(slot);
            EXPECT_EQ(gain->components, 0);
            Block b(32);
            EXPECT_FALSE(run(slot, b));
        }
    }
    std::remove(text.c_str());
}

TEST(PluginSlotTest, FailedLoadsReleaseWhatTheyCreated) {
    for (const char* name : {"CorvenaRefuseSetup", "CorvenaRefuseActive", "CorvenaNoProcessor", "CorvenaFailInit"}) {
        SCOPED_TRACE(name);
        ProbeHandle probe(name);
        {
            PluginSlot slot;
            std::string error;
            EXPECT_FALSE(slot.load(testBundle(name), error));
        }
        EXPECT_EQ(probe->components, 0);
        EXPECT_EQ(probe->controllers, 0);
        // A component whose initialize failed is released without terminate.
        const bool initFailed = std::string(name) == "CorvenaFailInit";
        EXPECT_EQ(probe->componentTerminates, probe->componentInits - (initFailed ? 1 : 0));
        EXPECT_EQ(probe->controllerTerminates, probe->controllerInits);
        EXPECT_FALSE(probe->active);
    }
}

TEST(PluginSlotTest, PrepareRestartsOnlyForANewRateOrALargerBlock) {
    ProbeHandle probe("CorvenaGain");
    PluginSlot slot;
    slot.prepare(44100.0, 256); // while Empty: kept for the next load
    std::string error;
    ASSERT_TRUE(slot.load(testBundle("CorvenaGain"), error)) << error;
    EXPECT_EQ(probe->setupRate, 44100.0);
    EXPECT_EQ(probe->setupMaxBlock, 256);
    EXPECT_EQ(probe->setupCalls, 1);

    slot.prepare(44100.0, 128); // smaller block, same rate: untouched
    EXPECT_EQ(probe->setupCalls, 1);
    slot.prepare(44100.0, 256);
    EXPECT_EQ(probe->setupCalls, 1);

    slot.prepare(44100.0, 1024); // larger block
    EXPECT_EQ(probe->setupCalls, 2);
    EXPECT_EQ(probe->setupMaxBlock, 1024);
    EXPECT_TRUE(slot.isReady());

    slot.prepare(48000.0, 64); // new rate: the smaller block replaces the larger
    EXPECT_EQ(probe->setupCalls, 3);
    EXPECT_EQ(probe->setupRate, 48000.0);
    EXPECT_EQ(probe->setupMaxBlock, 64);
    EXPECT_EQ(probe->activations, 3);
    EXPECT_TRUE(slot.isReady());

    Block b(64);
    ASSERT_TRUE(run(slot, b));
    EXPECT_EQ(probe->contextRate, 48000.0);
    Block tooLong(65); // beyond the prepared maximum: never reaches the plug-in
    const int calls = probe->processCalls;
    EXPECT_FALSE(run(slot, tooLong));
    EXPECT_TRUE(tooLong.untouched());
    EXPECT_EQ(probe->processCalls, calls);
    EXPECT_EQ(probe->badProcessCalls, 0);
}

TEST(PluginSlotTest, RefusedRestartKeepsThePluginLoadedButNotReady) {
    ProbeHandle probe("CorvenaOnly48k");
    PluginSlot slot;
    std::string error;
    ASSERT_TRUE(slot.load(testBundle("CorvenaOnly48k"), error)) << error;
    slot.prepare(44100.0, 512);
    EXPECT_FALSE(slot.isReady());
    EXPECT_EQ(slot.pluginName(), "Corvena Only 48k");
    EXPECT_EQ(probe->components, 1);
    Block b(64);
    EXPECT_FALSE(run(slot, b));
    EXPECT_TRUE(b.untouched());

    slot.prepare(48000.0, 512); // a later successful restart makes it ready again
    EXPECT_TRUE(slot.isReady());
    EXPECT_TRUE(run(slot, b));

    slot.prepare(44100.0, 512);
    slot.unload();
    expectEmpty(slot);
    EXPECT_EQ(probe->components, 0);
}

TEST(PluginSlotTest, EditsArriveInTheNextBlockAsOnePointWithTheLatestValue) {
    ProbeHandle probe("CorvenaGain");
    PluginSlot slot;
    std::string error;
    ASSERT_TRUE(slot.load(testBundle("CorvenaGain"), error)) << error;
    ASSERT_NE(probe->edit, nullptr);
    EXPECT_EQ(probe->edit(kGainId, 0.1), kResultOk);
    EXPECT_EQ(probe->edit(kGainId, 0.9), kResultOk);
    EXPECT_EQ(probe->edit(kGainId, 0.25), kResultOk);
    Block b(64);
    ASSERT_TRUE(run(slot, b));
    EXPECT_EQ(probe->blocksWithChanges, 1);
    ASSERT_EQ(probe->lastChangeCount, 1);
    EXPECT_EQ(probe->lastChanges[0].id, kGainId);
    EXPECT_EQ(probe->lastChanges[0].pointCount, 1);
    EXPECT_EQ(probe->lastChanges[0].offset, 0);
    EXPECT_EQ(probe->lastChanges[0].value, 0.25);
    for (int i = 0; i < b.size(); ++i)
        ASSERT_FLOAT_EQ(b.left[i], b.in[i] * 0.5f); // the edit is heard in that very block

    ASSERT_TRUE(run(slot, b)); // delivered once only
    EXPECT_EQ(probe->blocksWithChanges, 1);
}

TEST(PluginSlotTest, EditsWaitWhileNotProcessedAndAtMost3999AreKept) {
    ProbeHandle probe("CorvenaGain");
    PluginSlot slot;
    std::string error;
    ASSERT_TRUE(slot.load(testBundle("CorvenaGain"), error)) << error;
    for (uint32_t id = 100; id < 5100; ++id)
        probe->edit(id, (id % 10) / 10.0);
    probe->edit(100, 0.77); // lost: the ring is full
    slot.prepare(96000.0, 512); // a restart in between keeps them
    Block b(64);
    ASSERT_TRUE(run(slot, b));
    ASSERT_EQ(probe->lastChangeCount, 3999);
    for (int i = 0; i < 3999; ++i) {
        ASSERT_EQ(probe->lastChanges[i].id, 100u + i);
        ASSERT_EQ(probe->lastChanges[i].value, ((100 + i) % 10) / 10.0);
    }
}

// A failed process call consumes its edits; edits of an unloaded plug-in
// never reach the next one.
TEST(PluginSlotTest, EditsAreConsumedByAFailedBlockAndDroppedAtUnload) {
    ProbeHandle probe("CorvenaGain");
    PluginSlot slot;
    std::string error;
    ASSERT_TRUE(slot.load(testBundle("CorvenaGain"), error)) << error;
    probe->edit(kGainId, 0.3);
    probe->failProcess = true;
    Block b(64);
    EXPECT_FALSE(run(slot, b));
    EXPECT_TRUE(b.untouched());
    EXPECT_EQ(probe->blocksWithChanges, 1);
    probe->failProcess = false;
    ASSERT_TRUE(run(slot, b));
    EXPECT_EQ(probe->blocksWithChanges, 1); // not delivered again

    probe->edit(kGainId, 0.3);
    ASSERT_TRUE(slot.load(testBundle("CorvenaGain"), error)) << error;
    ASSERT_TRUE(run(slot, b));
    EXPECT_EQ(probe->blocksWithChanges, 1);
    EXPECT_EQ(b.left, b.in);
}

TEST(PluginSlotTest, ComponentHandlerAnswersAsAPlainHandler) {
    ProbeHandle probe("CorvenaGain");
    PluginSlot slot;
    std::string error;
    ASSERT_TRUE(slot.load(testBundle("CorvenaGain"), error)) << error;
    IComponentHandler* handler = probe->handler.load();
    ASSERT_NE(handler, nullptr);
    for (int32 flags : {0, int32(kReloadComponent), int32(kParamValuesChanged), int32(kLatencyChanged), int32(kIoChanged), 0x7FFFFFFF})
        EXPECT_EQ(handler->restartComponent(flags), kResultOk);
    EXPECT_TRUE(slot.isReady());

    void* obj = nullptr;
    ASSERT_EQ(handler->queryInterface(IComponentHandler::iid, &obj), kResultOk);
    EXPECT_EQ(obj, handler);
    static_cast<FUnknown*>(obj)->release();
    ASSERT_EQ(handler->queryInterface(FUnknown::iid, &obj), kResultOk);
    static_cast<FUnknown*>(obj)->release();
    obj = handler;
    EXPECT_EQ(handler->queryInterface(IComponentHandler2::iid, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(handler->queryInterface(IEditController::iid, &obj), kNoInterface);
    EXPECT_EQ(handler->queryInterface(IComponentHandler::iid, nullptr), kInvalidArgument);
    EXPECT_EQ(handler->beginEdit(kGainId), kResultOk);
    EXPECT_EQ(handler->endEdit(kGainId), kResultOk);
}

// A slot of static storage duration (as the engine's) still holding a plug-in
// at process exit: the plug-in's teardown uses the host context, whose code
// must not depend on statics made after the slot (destroyed before it). The
// first unload is what makes such statics.
TEST(PluginSlotDeathTest, StaticSlotUnloadsCleanlyAtExit) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            static PluginSlot slot;
            std::string error;
            if (!slot.load(testBundle("CorvenaGain"), error) || !slot.load(testBundle("CorvenaGain"), error))
                std::_Exit(3);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(PluginSlotTest, ZamPluginsLoadProcessAndRestart) {
    for (const char* name : {"ZamComp", "ZamTube", "ZamEQ2"}) {
        for (const std::string& path : {zamBundle(name), zamLibrary(name)}) {
            SCOPED_TRACE(path);
            PluginSlot slot;
            std::string error;
            ASSERT_TRUE(slot.load(path, error)) << error;
            EXPECT_EQ(slot.pluginName(), name);
            EXPECT_EQ(slot.pluginPath(), path);
            ASSERT_TRUE(slot.isReady());
            Block b(256, 0.5f);
            for (int i = 0; i < 20; ++i)
                ASSERT_TRUE(run(slot, b));
            slot.prepare(44100.0, 1024);
            ASSERT_TRUE(slot.isReady());
            Block big(1024, 0.5f);
            for (int i = 0; i < 5; ++i)
                ASSERT_TRUE(run(slot, big));
            for (float v : big.left)
                ASSERT_TRUE(std::isfinite(v));
        }
    }
}

} // namespace
