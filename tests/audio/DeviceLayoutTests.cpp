// Channel counts and the output pair on JACK servers of other shapes than the
// usual 2 in / 2 out. Each test runs a server of its own.
#include "AudioSession.h"

#include <gtest/gtest.h>

using namespace corvena::test;

namespace {

class DeviceLayout : public ::testing::Test {
protected:
    void start(unsigned capture, unsigned playback) {
        JackServer::Options options;
        options.captureChannels = capture;
        options.playbackChannels = playback;
        ASSERT_TRUE(server.start(options)) << server.log();
        engine = std::make_unique<EngineProcess>(CORVENA_AUDIO_BINARY, server.environment());
        ASSERT_TRUE(engine->readLine().has_value());
    }
    json request(const std::string& line) { return json::parse(engine->request(line)); }
    void TearDown() override {
        if (engine) {
            engine->request(R"({"cmd":"quit"})");
            EXPECT_EQ(engine->wait(), 0);
        }
    }
    JackServer server{"layout"};
    std::unique_ptr<EngineProcess> engine;
};

} // namespace

TEST_F(DeviceLayout, EightyInputsOpenAsSixtyFourAndThePairStaysOnTheDevice) {
    start(80, 4);
    json devices = request(R"({"cmd":"listDevices"})")["devices"];
    ASSERT_FALSE(devices.empty());
    EXPECT_EQ(devices[0]["inputChannels"], 80);
    EXPECT_EQ(devices[0]["outputChannels"], 4);

    json r = request(R"({"cmd":"open","inputChannel":70,"outputChannel":5})");
    EXPECT_EQ(channelsOf(r), (std::vector<int>{64, 63, 4, 2})) << r.dump();
    EXPECT_EQ(json::parse(engine->readLine().value_or("{}"))["inputs"].size(), 64u);
    r = request(R"({"cmd":"open","inputChannel":3,"outputChannel":1})"); // within range: kept
    EXPECT_EQ(channelsOf(r), (std::vector<int>{64, 3, 4, 1})) << r.dump();
}

TEST_F(DeviceLayout, ThreeOutputsTakeThePairFromChannelOne) {
    start(1, 3);
    json r = request(R"({"cmd":"open","outputChannel":5,"inputChannel":5})");
    EXPECT_EQ(channelsOf(r), (std::vector<int>{1, 0, 3, 1})) << r.dump();
}

TEST_F(DeviceLayout, MonoOutputDeviceIsRefusedByTheLibraryAndNothingStaysOpen) {
    start(2, 1);
    // The pair starts at 0 on a mono device; JACK has no second channel for it.
    json r = request(R"({"cmd":"open","outputChannel":5})");
    EXPECT_FALSE(r["ok"].get<bool>());
    EXPECT_NE(r["error"].get<std::string>().find("(2) + offset (0)"), std::string::npos) << r.dump();
    EXPECT_FALSE(request(R"({"cmd":"status"})")["open"].get<bool>());
    EXPECT_FALSE(engine->readLine(std::chrono::milliseconds(200)).has_value());
}
