// The audio thread of a real stream neither allocates nor waits for a lock.
// operator new and pthread_mutex_lock count every call from any thread but the
// test's own while armed: in a steady stream that is JACK's process threads,
// i.e. the engine's callback (and the feeding peer, which does neither).
#include "engine/Engine.h"
#include "support/JackPeer.h"
#include "support/JackServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <dlfcn.h>
#include <new>
#include <pthread.h>
#include <thread>

namespace {
std::atomic<bool> armed{false};
std::atomic<int> allocations{0};
std::atomic<int> lockWaits{0};
pthread_t testThread;

bool counting() { return armed.load(std::memory_order_relaxed) && !pthread_equal(pthread_self(), testThread); }
} // namespace

void* operator new(std::size_t size) {
    if (counting()) allocations.fetch_add(1);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (counting()) allocations.fetch_add(1);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& t) noexcept { return operator new(size, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) {
    using Lock = int (*)(pthread_mutex_t*);
    static Lock real = reinterpret_cast<Lock>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    if (counting()) lockWaits.fetch_add(1);
    return real(mutex);
}

using namespace corvena;
using namespace corvena::test;

static auto* const jackEnv = ::testing::AddGlobalTestEnvironment(new JackEnvironment);

TEST(StreamRealtime, CallbackNeitherAllocatesNorLocksWhileControlsChange) {
    testThread = pthread_self();
    OpenRequest request;
    request.api = "jack";
    StreamInfo info;
    std::string error;
    ASSERT_TRUE(engine.open(request, info, error)) << error;
    JackPeer peer(JackEnvironment::server().name(), "RealtimePeer");
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(peer.connectToEngine());
    peer.setSine(0, 220.0f, 0.5f);
    peer.setSine(1, 330.0f, 0.5f);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    engine.takeInputPeaks();

    armed.store(true);
    AmpSettings settings;
    for (int i = 0; i < 24; ++i) {
        // Every control the front end has, changed while blocks run.
        settings.model = i % 2 ? AmpModel::Clean : AmpModel::Drive;
        settings.gain = 0.1f * static_cast<float>(i % 10);
        engine.setAmpSettings(settings, i % 3 != 0);
        engine.setTestTone(i % 4 == 1, 440.0f, 0.15f);
        engine.setMonitor(i % 5 != 2, 0.8f);
        engine.setInputChannel(static_cast<uint32_t>(i % 2));
        engine.setMetronome(i % 2 == 0, 120.0f);
        engine.setTuner(i % 3 != 1, 440.0f, i % 2 == 0);
        engine.takeTunerReading();
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    armed.store(false);

    const auto peaks = engine.takeInputPeaks();
    engine.close();
    ASSERT_EQ(peaks.size(), 2u);
    EXPECT_NEAR(peaks[0], 0.5f, 0.01f) << "no blocks ran during the window";
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(lockWaits.load(), 0);
}
