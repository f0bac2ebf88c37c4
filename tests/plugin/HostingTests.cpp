// The hosting layer on its own: parameter changes, the edit ring, module
// loading and the provider, with the project's test plug-ins and zam-plugins.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

#include "TestPlugins.h"
#include "plugin/Module.h"
#include "plugin/ParameterChangeTransfer.h"
#include "plugin/ParameterChanges.h"
#include "plugin/PlugProvider.h"

#include "public.sdk/source/vst/hosting/hostclasses.h"

using namespace corvena;
using namespace corvena::test;
using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

struct Point {
    int32 offset;
    ParamValue value;
};

Point lastPoint(IParamValueQueue* q) {
    Point p{-1, -1};
    q->getPoint(q->getPointCount() - 1, p.offset, p.value);
    return p;
}

TEST(ParameterChangesTest, QueueKeepsPointsSortedAndMergesEqualOffsets) {
    ParamValueQueue q;
    int32 index = -1;
    q.addPoint(10, 0.1, index);
    q.addPoint(0, 0.2, index);
    EXPECT_EQ(index, 0);
    q.addPoint(10, 0.3, index); // same offset: replaces
    EXPECT_EQ(index, 1);
    ASSERT_EQ(q.getPointCount(), 2);
    int32 offset = 0;
    ParamValue value = 0;
    ASSERT_EQ(q.getPoint(0, offset, value), kResultOk);
    EXPECT_EQ(offset, 0);
    EXPECT_DOUBLE_EQ(value, 0.2);
    ASSERT_EQ(q.getPoint(1, offset, value), kResultOk);
    EXPECT_EQ(offset, 10);
    EXPECT_DOUBLE_EQ(value, 0.3);
    EXPECT_NE(q.getPoint(2, offset, value), kResultOk);
    EXPECT_NE(q.getPoint(-1, offset, value), kResultOk);
}

TEST(ParameterChangesTest, OneQueuePerParameterReusedAfterClearing) {
    ParameterChanges changes;
    int32 i1 = -1, i2 = -1, i3 = -1;
    IParamValueQueue* a = changes.addParameterData(5, i1);
    IParamValueQueue* b = changes.addParameterData(9, i2);
    IParamValueQueue* again = changes.addParameterData(5, i3);
    EXPECT_EQ(a, again);
    EXPECT_EQ(i1, i3);
    EXPECT_NE(a, b);
    EXPECT_EQ(changes.getParameterCount(), 2);
    EXPECT_EQ(changes.getParameterData(2), nullptr);
    EXPECT_EQ(changes.getParameterData(-1), nullptr);

    int32 p = 0;
    a->addPoint(0, 0.5, p);
    changes.clearQueue();
    EXPECT_EQ(changes.getParameterCount(), 0);
    // A different parameter now takes the first queue, empty and renamed.
    IParamValueQueue* c = changes.addParameterData(42, i1);
    EXPECT_EQ(c, a);
    EXPECT_EQ(c->getParameterId(), 42u);
    EXPECT_EQ(c->getPointCount(), 0);
}

TEST(ParameterChangeTransferTest, DeliversInOrderWithLatestValuePerParameter) {
    ParameterChangeTransfer transfer;
    transfer.setMaxParameters(4);
    transfer.addChange(3, 0.1, 0);
    transfer.addChange(1, 0.2, 0);
    transfer.addChange(3, 0.7, 0);
    ParameterChanges changes;
    transfer.transferChangesTo(changes);
    ASSERT_EQ(changes.getParameterCount(), 2);
    EXPECT_EQ(changes.getParameterData(0)->getParameterId(), 3u);
    EXPECT_EQ(changes.getParameterData(0)->getPointCount(), 1);
    EXPECT_DOUBLE_EQ(lastPoint(changes.getParameterData(0)).value, 0.7);
    EXPECT_EQ(lastPoint(changes.getParameterData(0)).offset, 0);
    EXPECT_DOUBLE_EQ(lastPoint(changes.getParameterData(1)).value, 0.2);

    // Delivered edits are gone.
    changes.clearQueue();
    transfer.transferChangesTo(changes);
    EXPECT_EQ(changes.getParameterCount(), 0);
}

TEST(ParameterChangeTransferTest, FullRingKeepsTheFirstEntriesAndLosesTheRest) {
    ParameterChangeTransfer transfer;
    transfer.setMaxParameters(2000);
    ASSERT_EQ(transfer.capacity(), 4000);
    for (uint32 id = 0; id < 5000; ++id)
        transfer.addChange(id, id / 5000.0, 0);
    ParameterChanges changes;
    transfer.transferChangesTo(changes);
    ASSERT_EQ(changes.getParameterCount(), 3999);
    for (int32 i = 0; i < 3999; ++i) {
        ASSERT_EQ(changes.getParameterData(i)->getParameterId(), static_cast<uint32>(i));
        ASSERT_DOUBLE_EQ(lastPoint(changes.getParameterData(i)).value, i / 5000.0);
    }
    // Room again, and across the wrap of the ring.
    changes.clearQueue();
    for (int round = 0; round < 3; ++round) {
        for (uint32 id = 0; id < 3000; ++id)
            transfer.addChange(id, round + id / 1e4, 0);
        transfer.transferChangesTo(changes);
        ASSERT_EQ(changes.getParameterCount(), 3000);
        EXPECT_DOUBLE_EQ(lastPoint(changes.getParameterData(2999)).value, round + 2999 / 1e4);
        changes.clearQueue();
    }
}

TEST(ParameterChangeTransferTest, RemoveChangesDropsWhatWaits) {
    ParameterChangeTransfer transfer;
    transfer.setMaxParameters(2);
    transfer.addChange(1, 0.5, 0);
    transfer.removeChanges();
    ParameterChanges changes;
    transfer.transferChangesTo(changes);
    EXPECT_EQ(changes.getParameterCount(), 0);
}

// Two writers (the control thread and a plug-in thread of its own) and the
// audio-side reader: every delivered edit must be one that was written, whole.
TEST(ParameterChangeTransferTest, SecondWriterThreadDoesNotCorruptTheRing) {
    ParameterChangeTransfer transfer;
    transfer.setMaxParameters(64);
    constexpr uint32 kPerWriter = 20000;
    std::atomic<bool> done{false};
    auto writer = [&](uint32 base) {
        for (uint32 i = 0; i < kPerWriter; ++i)
            transfer.addChange(base + i, (base + i) * 0.25, 0);
    };
    std::set<uint32> seen;
    bool consistent = true;
    std::thread reader([&] {
        ParameterChanges changes(0);
        auto drain = [&] {
            transfer.transferChangesTo(changes);
            for (int32 i = 0; i < changes.getParameterCount(); ++i) {
                IParamValueQueue* q = changes.getParameterData(i);
                const uint32 id = q->getParameterId();
                const Point p = lastPoint(q);
                consistent = consistent && p.offset == 0 && p.value == id * 0.25 && q->getPointCount() == 1 &&
                             seen.insert(id).second;
            }
            changes.clearQueue();
        };
        while (!done.load())
            drain();
        drain();
    });
    std::thread a(writer, 0u), b(writer, 1000000u);
    a.join();
    b.join();
    done = true;
    reader.join();
    EXPECT_TRUE(consistent);
    EXPECT_GT(seen.size(), 0u);
    EXPECT_LE(seen.size(), 2u * kPerWriter);
}

TEST(ModuleTest, LoadsBundleFolderAndPlainSharedObject) {
    for (const std::string& path : {testBundle("CorvenaGain"), testBundle("CorvenaGain") + "/",
                                    testLibrary("CorvenaGain"), zamBundle("ZamComp"), zamLibrary("ZamTube")}) {
        SCOPED_TRACE(path);
        std::string error;
        Module::Ptr module = Module::create(path, error);
        ASSERT_TRUE(module) << error;
        EXPECT_TRUE(error.empty());
        EXPECT_EQ(module->getPath(), path);
        EXPECT_FALSE(module->getFactory().classInfos().empty());
    }
}

TEST(ModuleTest, ClassInfosFromTheRichestFactory) {
    std::string error;
    Module::Ptr gain = Module::create(testBundle("CorvenaTwoClasses"), error);
    ASSERT_TRUE(gain) << error;
    const auto infos = gain->getFactory().classInfos();
    ASSERT_EQ(infos.size(), 3u);
    EXPECT_EQ(infos[0].category, "Audio Module Class");
    EXPECT_EQ(infos[0].name, "Corvena Two Classes");
    EXPECT_EQ(infos[0].vendor, "corvena tests"); // only the wide class info carries this
    EXPECT_EQ(infos[1].category, "Component Controller Class");
    EXPECT_EQ(infos[2].name, "Corvena Two Classes Second");
    EXPECT_NE(infos[0].cid, infos[2].cid);

    Module::Ptr zam = Module::create(zamBundle("ZamEQ2"), error);
    ASSERT_TRUE(zam) << error;
    const auto zamInfos = zam->getFactory().classInfos();
    ASSERT_EQ(zamInfos.size(), 2u);
    EXPECT_EQ(zamInfos[0].category, "Audio Module Class");
    EXPECT_EQ(zamInfos[0].name, "ZamEQ2");
    EXPECT_EQ(zamInfos[1].category, "Component Controller Class");
}

TEST(ModuleTest, NonModulesFailWithOrWithoutDescription) {
    const std::string text = ::testing::TempDir() + "corvena_not_a_module.txt";
    std::ofstream(text) << "not a shared object\n";
    const std::string folder = ::testing::TempDir();

    for (const std::string& path : {std::string("/nonexistent/Nothing.vst3"), text, folder}) {
        SCOPED_TRACE(path);
        std::string error;
        EXPECT_FALSE(Module::create(path, error));
        EXPECT_TRUE(error.empty()) << error; // nothing could be loaded: the caller words it
    }
    std::string error;
    EXPECT_FALSE(Module::create(std::string(CORVENA_TEST_PLUGIN_DIR) + "/NoFactory.so", error));
    EXPECT_EQ(error, "the module does not export GetPluginFactory");
    error.clear();
    EXPECT_FALSE(Module::create(testBundle("CorvenaFailEntry"), error));
    EXPECT_EQ(error, "the module's ModuleEntry failed");
    std::remove(text.c_str());
}

class ProviderTest : public ::testing::Test {
protected:
    void SetUp() override { PluginContextFactory::instance().setPluginContext(&host_); }
    void TearDown() override { PluginContextFactory::instance().setPluginContext(nullptr); }

    static std::unique_ptr<PlugProvider> makeProvider(const Module::Ptr& module) {
        for (const ClassInfo& info : module->getFactory().classInfos())
            if (info.category == "Audio Module Class")
                return std::make_unique<PlugProvider>(module->getFactory(), info, true);
        return nullptr;
    }

    HostApplication host_;
};

TEST_F(ProviderTest, SetsUpConnectsAndTearsDownInReverse) {
    ProbeHandle probe("CorvenaGain");
    std::string error;
    Module::Ptr module = Module::create(testBundle("CorvenaGain"), error);
    ASSERT_TRUE(module);
    auto provider = makeProvider(module);
    ASSERT_TRUE(provider->initialize());
    EXPECT_TRUE(provider->getComponent());
    EXPECT_TRUE(provider->getController());
    EXPECT_EQ(probe->componentInits, 1);
    EXPECT_EQ(probe->controllerInits, 1);
    EXPECT_EQ(probe->connects, 2);          // both ways
    EXPECT_EQ(probe->componentStates, 1);   // the component's state reached the controller
    provider.reset();
    EXPECT_EQ(probe->disconnects, 2);
    EXPECT_EQ(probe->controllerTerminates, 1);
    EXPECT_EQ(probe->componentTerminates, 1);
    EXPECT_EQ(probe->components, 0);
    EXPECT_EQ(probe->controllers, 0);
}

TEST_F(ProviderTest, ComponentWithoutControllerAndFailingComponent) {
    {
        ProbeHandle probe("CorvenaNoController");
        std::string error;
        Module::Ptr module = Module::create(testBundle("CorvenaNoController"), error);
        auto provider = makeProvider(module);
        ASSERT_TRUE(provider->initialize());
        EXPECT_TRUE(provider->getComponent());
        EXPECT_FALSE(provider->getController());
        EXPECT_EQ(probe->connects, 0);
    }
    {
        ProbeHandle probe("CorvenaFailInit");
        std::string error;
        Module::Ptr module = Module::create(testBundle("CorvenaFailInit"), error);
        auto provider = makeProvider(module);
        EXPECT_FALSE(provider->initialize());
        EXPECT_FALSE(provider->getComponent());
        provider.reset();
        EXPECT_EQ(probe->components, 0);
        EXPECT_EQ(probe->controllers, 0);
    }
}

TEST_F(ProviderTest, ZamPluginsComeUpWithTheirSeparateController) {
    for (const char* name : {"ZamComp", "ZamTube", "ZamEQ2"}) {
        SCOPED_TRACE(name);
        std::string error;
        Module::Ptr module = Module::create(zamBundle(name), error);
        ASSERT_TRUE(module) << error;
        auto provider = makeProvider(module);
        ASSERT_TRUE(provider);
        ASSERT_TRUE(provider->initialize());
        EXPECT_TRUE(provider->getComponent());
        EXPECT_TRUE(provider->getController());
    }
}

} // namespace
