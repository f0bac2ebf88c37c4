// The hosting layer on its own: the edit ring between threads, module loading
// and the provider. Load failures are covered through the slot (SlotTests.cpp).
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

// Two writers (the control thread and a plug-in thread of its own) and the
// audio-side reader, through many wraps of the ring: every delivered edit must
// be one that was written, whole. The ring's bounds (3999 kept, the rest lost)
// and the latest value per parameter are shown through the slot (SlotTests.cpp).
TEST(ParameterChangeTransferTest, SecondWriterThreadDoesNotCorruptTheRing) {
    ParameterChangeTransfer transfer;
    transfer.setMaxParameters(64);
    ASSERT_EQ(transfer.capacity(), 128);
    constexpr uint32 kPerWriter = 20000;
    std::atomic<bool> done{false};
    auto writer = [&](uint32 base) {
        for (uint32 i = 0; i < kPerWriter; ++i)
            transfer.addChange(base + i, (base + i) * 0.25, 0);
    };
    std::set<uint32> seen;
    bool consistent = true;
    std::thread reader([&] {
        ParameterChanges changes(128);
        for (bool last = false; !last;) {
            last = done.load();
            transfer.transferChangesTo(changes);
            for (int32 i = 0; i < changes.getParameterCount(); ++i) {
                IParamValueQueue* q = changes.getParameterData(i);
                const uint32 id = q->getParameterId();
                int32 offset = -1;
                ParamValue value = -1;
                q->getPoint(0, offset, value);
                consistent = consistent && offset == 0 && value == id * 0.25 && q->getPointCount() == 1 &&
                             seen.insert(id).second;
            }
            changes.clearQueue();
        }
    });
    std::thread a(writer, 0u), b(writer, 1000000u);
    a.join();
    b.join();
    done = true;
    reader.join();
    EXPECT_TRUE(consistent);
    EXPECT_GT(seen.size(), 0u);
}

// Paths as given (bundle or shared object) are checked through the slot.
TEST(ModuleTest, ClassInfosComeFromTheRichestFactory) {
    std::string error;
    Module::Ptr two = Module::create(testBundle("CorvenaTwoClasses") + "/", error);
    ASSERT_TRUE(two) << error;
    EXPECT_EQ(two->getPath(), testBundle("CorvenaTwoClasses") + "/");
    const auto infos = two->getFactory().classInfos();
    ASSERT_EQ(infos.size(), 3u);
    EXPECT_EQ(infos[0].category, "Audio Module Class");
    EXPECT_EQ(infos[0].name, "Corvena Two Classes");
    EXPECT_EQ(infos[0].vendor, "corvena tests"); // only the wide class info carries this
    EXPECT_EQ(infos[1].category, "Component Controller Class");
    EXPECT_EQ(infos[2].name, "Corvena Two Classes Second");
    EXPECT_NE(infos[0].cid, infos[2].cid);
    if (kHaveZam) {
        Module::Ptr zam = Module::create(zamLibrary("ZamEQ2"), error);
        ASSERT_TRUE(zam) << error;
        ASSERT_EQ(zam->getFactory().classInfos().size(), 2u);
        EXPECT_EQ(zam->getFactory().classInfos()[0].name, "ZamEQ2");
    }

    // Which classes count as effects: analysers call themselves "Fx|Instrument".
    EXPECT_TRUE(infos[0].isAudioEffect());
    EXPECT_FALSE(infos[1].isAudioEffect());
    ClassInfo c = infos[0];
    for (const auto& [sub, effect] : std::vector<std::pair<std::string, bool>>{
             {"Fx|Instrument", true}, {"Instrument|Fx", true}, {"Instrument|Synth", false}, {"Instrument", false},
             {"Instrumental|Fx|Delay", true}, {"", true}, {"Analyzer", true}}) {
        c.subCategories = sub;
        EXPECT_EQ(c.isAudioEffect(), effect) << sub;
    }
}

TEST(ProviderTest, SetsUpConnectsAndTearsDownInReverse) {
    HostApplication host;
    PluginContextFactory::instance().setPluginContext(&host);
    ProbeHandle probe("CorvenaGain");
    std::string error;
    Module::Ptr module = Module::create(testBundle("CorvenaGain"), error);
    ASSERT_TRUE(module) << error;
    auto provider = std::make_unique<PlugProvider>(module->getFactory(), module->getFactory().classInfos()[0], true);
    ASSERT_TRUE(provider->initialize());
    EXPECT_TRUE(provider->getComponent());
    EXPECT_TRUE(provider->getController());
    EXPECT_EQ(probe->componentInits, 1);
    EXPECT_EQ(probe->controllerInits, 1);
    EXPECT_EQ(probe->connects, 2);        // both ways
    EXPECT_EQ(probe->componentStates, 1); // the component's state reached the controller
    provider.reset();
    EXPECT_EQ(probe->disconnects, 2);
    EXPECT_EQ(probe->controllerTerminates, 1);
    EXPECT_EQ(probe->componentTerminates, 1);
    EXPECT_EQ(probe->components, 0);
    EXPECT_EQ(probe->controllers, 0);
    PluginContextFactory::instance().setPluginContext(nullptr);
}

} // namespace
