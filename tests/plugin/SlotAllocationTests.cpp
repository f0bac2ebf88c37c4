// The slot's process step allocates nothing once the first block with edits
// has sized the change queues, and never waits for a lock; declined blocks and
// the handler's edit path allocate nothing either.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "TestPlugins.h"
#include "plugin/PluginSlot.h"
#include "support/AllocationCounter.h"

#include "pluginterfaces/vst/ivsteditcontroller.h"

using namespace corvena;
using namespace corvena::test;

namespace {

TEST(SlotAllocationTest, ProcessStepAllocatesNothingAfterTheFirstBlockWithEditsAndNeverWaits) {
    std::mutex m; // the counters themselves work in this binary
    AllocationCounter::reset();
    {
        AllocationCounter::Scope scope;
        delete new int(3);
        std::lock_guard<std::mutex> lock(m);
    }
    ASSERT_GE(AllocationCounter::allocations(), 1u);
    ASSERT_EQ(AllocationCounter::lockWaits(), 1u);

    ProbeHandle probe("CorvenaGain");
    PluginSlot slot;
    std::vector<float> in(256, 0.1f), left(256), right(256);
    AllocationCounter::reset();
    {
        AllocationCounter::Scope scope;
        EXPECT_FALSE(slot.process(in.data(), left.data(), right.data(), 256)); // empty slot
    }
    std::string error;
    ASSERT_TRUE(slot.load(testBundle("CorvenaGain"), error)) << error;
    auto* handler = probe->handler.load();
    ASSERT_NE(handler, nullptr);
    {
        AllocationCounter::Scope scope; // the handler's edit path, also past a full ring
        for (int i = 0; i < 10000; ++i)
            handler->performEdit(static_cast<uint32_t>(i % 300), 0.25);
    }
    EXPECT_EQ(AllocationCounter::allocations(), 0u);
    // The first block with edits may size the queues.
    ASSERT_TRUE(slot.process(in.data(), left.data(), right.data(), 256));

    for (int block = 0; block < 200; ++block) {
        for (uint32_t id = 0; id < 50; id += 1 + block % 7) {
            probe->edit(id, (block % 10) / 10.0);
            probe->edit(id, (block % 9) / 10.0); // more than one edit per block and parameter
        }
        AllocationCounter::reset();
        AllocationCounter::Scope scope;
        ASSERT_TRUE(slot.process(in.data(), left.data(), right.data(), 256));
        ASSERT_TRUE(slot.process(in.data(), left.data(), right.data(), 128)); // a block without edits
        ASSERT_FALSE(slot.process(in.data(), left.data(), right.data(), 1024)); // longer than prepared
        ASSERT_EQ(AllocationCounter::allocations(), 0u) << "block " << block;
        ASSERT_EQ(AllocationCounter::lockWaits(), 0u) << "block " << block;
    }
    EXPECT_EQ(probe->badProcessCalls, 0);
}

} // namespace
