// The slot's process step allocates nothing once the first block with edits
// has sized the change queues and never waits for a lock; the handler's edit
// path allocates nothing. This binary replaces the global operator new and
// wraps pthread_mutex_lock (linked with --wrap) to count both on the counting
// thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "TestPlugins.h"
#include "plugin/PluginSlot.h"

#include "pluginterfaces/vst/ivsteditcontroller.h"

#include <pthread.h>
#include <mutex>

namespace {
thread_local bool tCounting = false;
std::atomic<long> gAllocations{0};
std::atomic<long> gBlockingLocks{0};

void* countedAlloc(std::size_t size) {
    if (tCounting)
        ++gAllocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

// Counts the allocations of the calling thread while alive.
class CountAllocations {
public:
    CountAllocations() {
        gAllocations = 0;
        gBlockingLocks = 0;
        tCounting = true;
    }
    ~CountAllocations() { tCounting = false; }
    long count() const { return gAllocations.load(); }
    long blockingLocks() const { return gBlockingLocks.load(); }
};
} // namespace

extern "C" int __real_pthread_mutex_lock(pthread_mutex_t* m);
extern "C" int __wrap_pthread_mutex_lock(pthread_mutex_t* m) {
    if (tCounting)
        ++gBlockingLocks;
    return __real_pthread_mutex_lock(m);
}

void* operator new(std::size_t size) { return countedAlloc(size); }
void* operator new[](std::size_t size) { return countedAlloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (tCounting)
        ++gAllocations;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return operator new(size, std::nothrow); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace corvena;
using namespace corvena::test;

namespace {

TEST(SlotAllocationTest, CountersSeeAllocationsAndLocks) {
    std::mutex m;
    CountAllocations counter;
    auto* p = new int(3);
    delete p;
    { std::lock_guard<std::mutex> lock(m); }
    EXPECT_TRUE(m.try_lock()); // a try-lock is not a wait
    m.unlock();
    EXPECT_EQ(counter.count(), 1);
    EXPECT_EQ(counter.blockingLocks(), 1);
}

TEST(SlotAllocationTest, ProcessStepAllocatesNothingAfterTheFirstBlockWithEditsAndNeverWaits) {
    ProbeHandle probe("CorvenaGain");
    PluginSlot slot;
    std::string error;
    ASSERT_TRUE(slot.load(testBundle("CorvenaGain"), error)) << error;
    std::vector<float> in(256, 0.1f), left(256), right(256);

    // First block with edits of 50 distinct parameters: may size the queues.
    for (uint32_t id = 0; id < 50; ++id)
        probe->edit(id, 0.5);
    ASSERT_TRUE(slot.process(in.data(), left.data(), right.data(), 256));

    for (int block = 0; block < 200; ++block) {
        for (uint32_t id = 0; id < 50; id += 1 + block % 7) {
            probe->edit(id, (block % 10) / 10.0);
            probe->edit(id, (block % 9) / 10.0); // more than one point per block and parameter
        }
        long allocations = 0;
        {
            CountAllocations counter;
            ASSERT_TRUE(slot.process(in.data(), left.data(), right.data(), 256));
            ASSERT_TRUE(slot.process(in.data(), left.data(), right.data(), 128)); // a block without edits
            allocations = counter.count();
            ASSERT_EQ(counter.blockingLocks(), 0) << "block " << block;
        }
        ASSERT_EQ(allocations, 0) << "block " << block;
    }
    EXPECT_EQ(probe->badProcessCalls, 0);
}

TEST(SlotAllocationTest, DeclinedBlocksAndHandlerEditsAllocateNothing) {
    ProbeHandle probe("CorvenaGain");
    PluginSlot slot;
    std::vector<float> in(256, 0.1f), left(256), right(256);
    {
        CountAllocations counter;
        EXPECT_FALSE(slot.process(in.data(), left.data(), right.data(), 256)); // empty slot
        EXPECT_EQ(counter.count(), 0);
    }
    std::string error;
    ASSERT_TRUE(slot.load(testBundle("CorvenaGain"), error)) << error;
    auto* handler = probe->handler.load();
    ASSERT_NE(handler, nullptr);
    {
        CountAllocations counter;
        for (int i = 0; i < 10000; ++i) // also past a full ring
            handler->performEdit(static_cast<uint32_t>(i % 300), 0.25);
        EXPECT_FALSE(slot.process(in.data(), left.data(), right.data(), 1024)); // longer than prepared
        EXPECT_EQ(counter.count(), 0);
    }
}

} // namespace
