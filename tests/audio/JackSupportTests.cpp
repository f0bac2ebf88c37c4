// The JACK test support must itself be trustworthy: a signal fed through a real
// server comes back sample-exact in level and frequency, and a late client is seen
// as an xrun by the other clients.
#include "support/JackPeer.h"
#include "support/JackServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

using namespace corvena::test;

static auto* const jackEnv = ::testing::AddGlobalTestEnvironment(new JackEnvironment);

namespace {
float peakOf(const std::vector<float>& v) {
    float p = 0.0f;
    for (float x : v) p = std::max(p, std::fabs(x));
    return p;
}
// Rising zero crossings per second.
double frequencyOf(const std::vector<float>& v, double rate) {
    int crossings = 0;
    size_t first = 0, last = 0;
    for (size_t i = 1; i < v.size(); ++i)
        if (v[i - 1] < 0.0f && v[i] >= 0.0f) {
            if (crossings == 0) first = i;
            last = i;
            ++crossings;
        }
    if (crossings < 2) return 0.0;
    return (crossings - 1) * rate / static_cast<double>(last - first);
}
} // namespace

TEST(JackSupport, ServerRunsWithTheRequestedFormat) {
    JackPeer peer(JackEnvironment::server().name(), "SupportProbe");
    ASSERT_TRUE(peer.ok()) << peer.error();
    EXPECT_EQ(peer.sampleRate(), 48000u);
    EXPECT_EQ(peer.bufferSize(), 128u);
    auto system = peer.ports("^system:");
    EXPECT_EQ(system.size(), 4u);
}

TEST(JackSupport, SignalTravelsFromOnePeerToAnother) {
    const auto& name = JackEnvironment::server().name();
    JackPeer source(name, "SupportSource", 1, 0);
    JackPeer sink(name, "SupportSink", 0, 1);
    ASSERT_TRUE(source.ok() && sink.ok());
    ASSERT_TRUE(source.connectFeed(0, "SupportSink:capture 0"));
    source.setSine(0, 1000.0f, 0.25f);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto got = sink.capture(4800);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].size(), 4800u);
    EXPECT_NEAR(peakOf(got[0]), 0.25f, 0.001f);
    EXPECT_NEAR(frequencyOf(got[0], 48000.0), 1000.0, 2.0);

    source.setLoop(0, {0.5f, -0.5f});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    got = sink.capture(256);
    EXPECT_EQ(std::fabs(got[0][10]), 0.5f);
    EXPECT_EQ(got[0][10], -got[0][11]);

    source.setSilence(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(peakOf(sink.capture(1024)[0]), 0.0f);
}

TEST(JackSupport, LateClientMakesTheServerReportAnXrun) {
    const auto& name = JackEnvironment::server().name();
    JackPeer watcher(name, "SupportWatcher", 0, 0);
    JackPeer late(name, "SupportLate", 0, 0);
    ASSERT_TRUE(watcher.ok() && late.ok());
    const uint32_t before = watcher.xruns();
    late.stallOnce(std::chrono::milliseconds(60));
    for (int i = 0; i < 100 && watcher.xruns() == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GT(watcher.xruns(), before);
}

TEST(JackSupport, KilledServerCanBeRestartedUnderTheSameName) {
    auto& server = JackEnvironment::server();
    {
        JackPeer peer(server.name(), "SupportVictim");
        ASSERT_TRUE(peer.ok());
        server.kill();
        for (int i = 0; i < 200 && !peer.serverGone(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(peer.serverGone());
        EXPECT_FALSE(server.running());
    }
    ASSERT_TRUE(server.start()) << server.log();
    JackPeer again(server.name(), "SupportSurvivor");
    EXPECT_TRUE(again.ok()) << again.error();
}
