// Captures and cabinet responses in the running engine on the private JACK server.
#include "CaptureTestKit.h"
#include "capture/CaptureFile.h"

#include <gtest/gtest.h>

namespace corvena::test {
namespace {

// Relative RMS difference of `heard` from `expected` read as a loop, at the
// rotation that fits best (the stream's alignment is its own).
double loopError(const std::vector<float>& heard, const std::vector<float>& expected) {
    double best = 1e9;
    std::vector<float> looped(heard.size());
    for (size_t shift = 0; shift < expected.size(); ++shift) {
        for (size_t i = 0; i < heard.size(); ++i) looped[i] = expected[(i + shift) % expected.size()];
        best = std::min(best, relativeRms(heard, looped));
    }
    return best;
}

class CaptureProcess : public EngineOnJack {
protected:
    CaptureProcess() : EngineOnJack(threePartials(4800)) {}
    // What the engine plays once the change before it has settled (a few blocks
    // of the stream's own clock: the crossfade and the capture's history).
    std::vector<float> heard() { return peer.capture(9600, 4096)[0]; }
};

TEST_F(CaptureProcess, PlaysTheCaptureAsRenderedOfflineAndRefusesBadFiles) {
    engine.request({{"cmd", "monitor"}, {"level", 1.0}});
    // The capture alone: gate off, trim and tone flat; level 1 gives an output gain of 0.5.
    ASSERT_TRUE(ok({{"cmd", "amp"}, {"model", "capture"}, {"gain", 0.5}, {"gate", 0.0}, {"bass", 0.5}, {"mid", 0.5},
                    {"treble", 0.5}, {"level", 1.0}}));
    const json loaded = engine.request({{"cmd", "capture"}, {"path", modelPath("wavenet")}});
    ASSERT_TRUE(loaded["ok"].get<bool>()) << loaded.dump();
    EXPECT_EQ(loaded["latencyMs"], 0.0);
    // Offline, the loop's second pass through the network: the capture once settled.
    std::string error;
    const auto network = makeCaptureModel(*loadCaptureFile(modelPath("wavenet"), error));
    network->prepare(int32_t(loop.size()));
    std::vector<float> expected(loop.size());
    for (int pass = 0; pass < 2; ++pass) network->process(loop.data(), expected.data(), int32_t(loop.size()));
    for (float& v : expected) v *= 0.5f;
    EXPECT_LT(loopError(heard(), expected), 1e-5);
    // Normalised: the loudness the file states brought to the common target, -18 dB.
    ASSERT_TRUE(ok({{"cmd", "capture"}, {"normalize", true}}));
    std::vector<float> normalised = expected;
    for (float& v : normalised) v *= float(std::pow(10.0, (-18.0 - loaded["loudness"].get<double>()) / 20.0));
    EXPECT_LT(loopError(heard(), normalised), 1e-5);
    ASSERT_TRUE(ok({{"cmd", "capture"}, {"normalize", false}}));

    // Each refusal names its reason; the capture that played plays on.
    using Refusal = std::tuple<std::string, std::string, std::string>; // command, file, reason
    for (const auto& [cmd, file, reason] : {Refusal{"capture", "/nonexistent/amp.nam", "cannot open"},
                                            Refusal{"cabinet", writeWav(path("silent.wav"), std::vector<float>(4800, 0.0f)), "silent"}}) {
        const json reply = engine.request({{"cmd", cmd}, {"path", file}});
        EXPECT_FALSE(reply["ok"].get<bool>()) << file;
        EXPECT_NE(reply.value("error", "").find(reason), std::string::npos) << reply.dump();
    }
    EXPECT_LT(loopError(heard(), expected), 1e-5) << "the previous capture plays on, with no cabinet";

    // Loads, switches and unloads while the stream runs; the same capture again plays the same.
    const std::string cabinet = writeWav(path("cab.wav"), decayingNoise(4800, 200, 5));
    for (const json& step : {json{{"cmd", "capture"}, {"path", modelPath("lstm")}}, json{{"cmd", "cabinet"}, {"path", cabinet}},
                             json{{"cmd", "capture"}, {"path", modelPath("wavenet_a1_standard")}},
                             json{{"cmd", "cabinet"}, {"normalize", true}}, json{{"cmd", "capture"}, {"path", ""}},
                             json{{"cmd", "cabinet"}, {"path", ""}}, json{{"cmd", "capture"}, {"path", modelPath("wavenet")}}})
        ASSERT_TRUE(ok(step)) << step.dump();
    EXPECT_LT(loopError(heard(), expected), 1e-5);
}

} // namespace
} // namespace corvena::test
