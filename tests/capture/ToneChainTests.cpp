// The tone chain around captures and cabinet responses: hand-overs on the audio
// thread that allocate nothing, wait for nothing and do not jump, and the
// resampled capture's delay.
#include "CaptureTestKit.h"
#include "dsp/ToneChain.h"
#include "support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <map>

namespace corvena {
namespace {
using namespace test;

constexpr int32_t block = 128;
const std::string dir = CORVENA_BINARY_DIR;

// The capture with the gate off, trim and tone flat.
AmpSettings captureSettings(float level = 0.7f) { return {AmpModel::Capture, 0.5f, 0.5f, 0.5f, 0.5f, level, 0.0f}; }

TEST(ToneChain, LiveHandOversAllocateNothingWaitForNothingAndDoNotJump) {
    // Responses of 2000 taps, and of ten seconds at another rate (every partition size).
    const std::string shortIr = writeWav(dir + "/tone-chain-a.wav", decayingNoise(2000, 300, 1));
    const std::string longIr = writeWav(dir + "/tone-chain-b.wav", decayingNoise(441000, 300, 2), 44100);
    for (const std::string& kernel : kernelNames()) {
        SCOPED_TRACE(kernel);
        useKernel(kernel);
        ToneChain chain(captureSettings());
        chain.prepare(48000.0, block);
        chain.setLive(true);
        std::string error;
        CaptureReport capture;
        CabinetReport cabinet;
        // The control thread's side, between blocks: loads, switches, unloads.
        const std::map<size_t, std::function<bool()>> changes = {
            {20, [&] { return chain.loadCapture(modelPath("wavenet"), capture, error); }},
            {200, [&] { return chain.loadCabinet(shortIr, false, cabinet, error); }},
            {400, [&] { return chain.loadCapture(modelPath("lstm"), capture, error); }},
            {600, [&] { return chain.loadCabinet(longIr, true, cabinet, error); }},
            {800, [&] { return chain.loadCapture(modelPath("wavenet_a1_standard"), capture, error); }},
            {1000, [&] { return chain.unloadCapture(), true; }},
            {1200, [&] { return chain.unloadCabinet(), true; }},
            {1400, [&] { return chain.setCabinetNormalize(false), true; }}, // nothing loaded: nothing to do
        };
        std::vector<float> out = threePartials(48000 * 4);
        AllocationCounter::reset();
        float largestStep = 0.0f, stepAtSwap = 0.0f;
        for (size_t b = 0, at = 0, n = 0; at < out.size(); ++b, at += n) {
            const auto change = changes.find(b);
            const bool swap = change != changes.end();
            if (swap) ASSERT_TRUE(change->second()) << error;
            chain.releaseRetired();
            // Sizes changing from block to block; a hand-over's block whole, as its crossfade spans it.
            n = std::min<size_t>(swap ? block : 1 + (b * 97) % block, out.size() - at);
            {
                AllocationCounter::Scope audioThread;
                chain.process(&out[at], int32_t(n));
            }
            // The biggest sample-to-sample step into and within each block.
            for (size_t i = std::max<size_t>(at, 1); i < at + n; ++i) {
                const float step = std::fabs(out[i] - out[i - 1]);
                if (swap) stepAtSwap = std::max(stepAtSwap, step);
                else if (b > 20) largestStep = std::max(largestStep, step);
            }
        }
        EXPECT_EQ(AllocationCounter::allocations(), 0u);
        EXPECT_EQ(AllocationCounter::lockWaits(), 0u);
        EXPECT_GT(largestStep, 0.0f);
        EXPECT_LE(stepAtSwap, largestStep) << "a hand-over steps further than the signal itself does";
    }
    useKernel("");
}

TEST(ToneChain, CaptureAtAnotherRateRunsBehindResamplersWithTheDelayItReports) {
    // A one-tap Linear capture trained at 44.1 kHz: the identity, so what comes
    // out of a 48 kHz stream is the input, delayed by the resamplers alone.
    std::ofstream(dir + "/identity-44k.nam") << R"({"version":"0.5.4","architecture":"Linear","sample_rate":44100,)"
                                             << R"("config":{"receptive_field":1,"bias":false},"weights":[1.0]})";
    ToneChain chain(captureSettings(std::sqrt(2.0f))); // output level 1
    chain.prepare(48000.0, block);
    std::string error;
    CaptureReport report;
    ASSERT_TRUE(chain.loadCapture(dir + "/identity-44k.nam", report, error)) << error;
    const double latencyFrames = chain.latencyMs() * 48.0;
    EXPECT_GT(latencyFrames, 0.0) << "it runs at its own rate";
    EXPECT_LT(latencyFrames, 48.0 * 20) << "at most 20 ms";

    // A tone burst: its envelope's centre comes out late by the reported delay.
    std::vector<float> signal(48000, 0.0f);
    for (size_t i = 0; i < 4800; ++i) signal[12000 + i] = float(0.5 * std::pow(std::sin(M_PI * i / 4800.0), 2) * std::sin(M_PI * i / 24.0));
    std::vector<float> out = signal;
    for (size_t at = 0; at < out.size(); at += 100) chain.process(&out[at], 100);
    auto centre = [](const std::vector<float>& v) {
        double sum = 0, weighted = 0;
        for (size_t i = 0; i < v.size(); ++i) sum += v[i] * v[i], weighted += i * double(v[i]) * v[i];
        return std::make_pair(weighted / sum, sum);
    };
    const auto [inCentre, inEnergy] = centre(signal);
    const auto [outCentre, outEnergy] = centre(out);
    EXPECT_NEAR(outCentre - inCentre, latencyFrames, 2.0);
    EXPECT_NEAR(10 * std::log10(outEnergy / inEnergy), 0.0, 0.05) << "level kept through both resamplers";
}

} // namespace
} // namespace corvena
