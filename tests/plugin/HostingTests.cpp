// The hosting layer on its own: the edit ring, module loading and the
// provider, with the project's test plug-ins and zam-plugins. Failures of
// loading are covered through the slot (SlotTests.cpp).
#include <gtest/gtest.h>

#include <atomic>
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

} // namespace
