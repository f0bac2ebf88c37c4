// The JACK test support must itself be trustworthy: a signal fed through a real
// server comes back exact in level and frequency. (Loops, silence, late clients and
// killed servers are exercised by the stream and take tests.)
#include "AudioSession.h"

#include <gtest/gtest.h>

#include <thread>

using namespace corvena::test;

static auto* const jackEnv = ::testing::AddGlobalTestEnvironment(new JackEnvironment);

TEST(JackSupport, SignalTravelsFromOnePeerToAnotherAtTheServersFormat) {
    const auto& name = JackEnvironment::server().name();
    JackPeer source(name, "SupportSource", 1, 0);
    JackPeer sink(name, "SupportSink", 0, 1);
    ASSERT_TRUE(source.ok() && sink.ok()) << source.error() << sink.error();
    EXPECT_EQ(sink.sampleRate(), 48000u);
    EXPECT_EQ(sink.bufferSize(), 128u);
    EXPECT_EQ(sink.ports("^system:").size(), 4u);

    ASSERT_TRUE(source.connectFeed(0, "SupportSink:capture 0"));
    source.setSine(0, 1000.0f, 0.25f);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto got = sink.captureSteady(4800);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].size(), 4800u);
    EXPECT_NEAR(peakOf(got[0]), 0.25f, 0.001f);
    EXPECT_NEAR(frequencyOf(got[0]), 1000.0, 2.0);
}
