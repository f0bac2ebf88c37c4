// The audio thread's side of captures and cabinet responses: networks and the
// convolver allocate nothing and never wait; the tone chain's hand-overs neither,
// nor do they jump; normalising; the resampled capture's delay.
#include "CaptureTestKit.h"
#include "capture/CaptureFile.h"
#include "capture/Convolver.h"
#include "dsp/ToneChain.h"
#include "support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <map>

namespace corvena {
namespace {
using namespace test;

constexpr int32_t block = 128;
const std::string dir = CORVENA_BINARY_DIR;

std::vector<float> guitarLike(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = double(i) / 48000.0;
        v[i] = float(0.3 * std::sin(2 * M_PI * 110.0 * t) + 0.15 * std::sin(2 * M_PI * 330.7 * t) +
                     0.05 * std::sin(2 * M_PI * 1234.5 * t));
    }
    return v;
}

void runBlocks(ToneChain& chain, std::vector<float>& signal, int32_t size = block) {
    for (size_t at = 0; at < signal.size(); at += size_t(size))
        chain.process(signal.data() + at, int32_t(std::min<size_t>(size_t(size), signal.size() - at)));
}

AmpSettings captureSettings(float level = 0.7f) {
    AmpSettings s;
    s.model = AmpModel::Capture;
    s.gain = 0.5f;
    s.gate = 0.0f;
    s.level = level;
    return s;
}

TEST(CaptureRealtime, NetworksAndTheConvolverAllocateNothingAndNeverWait) {
    { // the counter sees what it is meant to see
        AllocationCounter::Scope scope;
        std::vector<float> v(3);
    }
    ASSERT_GE(AllocationCounter::allocations(), 1u);
    const std::vector<float> in = guitarLike(512);
    std::vector<float> out(512);
    for (const char* name : {"wavenet", "lstm", "wavenet_a1_standard"}) {
        std::string error;
        const auto file = loadCaptureFile(modelPath(name), error);
        ASSERT_TRUE(file) << error;
        for (const std::string& kernel : kernelNames()) {
            const auto model = modelWith(*file, kernel);
            model->prepare(300);
            AllocationCounter::reset();
            for (int b = 0; b < 400; ++b) { // sizes changing every block, every other one in place
                if (b % 2) std::copy(in.begin(), in.end(), out.begin());
                AllocationCounter::Scope audioThread;
                model->process(b % 2 ? out.data() : in.data(), out.data(), 1 + (b * 97) % 300);
            }
            EXPECT_EQ(AllocationCounter::allocations(), 0u) << name << ", " << kernel;
            EXPECT_EQ(AllocationCounter::lockWaits(), 0u) << name << ", " << kernel;
        }
    }
    // Ten seconds of response: every partition size.
    Convolver convolver;
    convolver.prepare(decayingNoise(480000, 40000, 3), 256);
    AllocationCounter::reset();
    AllocationCounter::Scope audioThread;
    for (int b = 0; b < 2000; ++b) convolver.process(in.data(), out.data(), 1 + (b * 89) % 256);
    EXPECT_EQ(AllocationCounter::allocations(), 0u);
    EXPECT_EQ(AllocationCounter::lockWaits(), 0u);
}

TEST(ToneChain, NormalisesTheCaptureAndLeavesTheBuiltInModelsAsTheyWere) {
    const std::vector<float> in = guitarLike(48000);
    ToneChain chain(captureSettings());
    chain.prepare(48000.0, block);
    std::string error;
    CaptureReport report;
    ASSERT_TRUE(chain.loadCapture(modelPath("wavenet"), report, error)) << error;
    ASSERT_TRUE(report.loudness);
    std::vector<float> plain = in, normalised = in;
    runBlocks(chain, plain);
    chain.setCaptureNormalize(true);
    chain.prepare(48000.0, block);
    runBlocks(chain, normalised);
    // The loudness the file states brought to the common target, -18 dB.
    EXPECT_NEAR(normalised[30000] / plain[30000], std::pow(10.0, (-18.0 - *report.loudness) / 20.0), 1e-4);

    // Clean and Drive without a cabinet response are the amp on its own.
    for (AmpModel m : {AmpModel::Clean, AmpModel::Drive}) {
        AmpSettings s;
        s.model = m;
        Amp amp(s);
        amp.prepare(48000.0, block);
        ToneChain builtIn(s);
        builtIn.prepare(48000.0, block);
        std::vector<float> a = in, b = in;
        for (size_t at = 0; at < a.size(); at += block) amp.process(&a[at], &a[at], block);
        runBlocks(builtIn, b);
        EXPECT_EQ(a, b);
    }
}

TEST(ToneChain, LiveHandOversAllocateNothingWaitForNothingAndDoNotJump) {
    ToneChain chain(captureSettings());
    chain.prepare(48000.0, block);
    chain.setLive(true);
    const std::string irA = writeWav(dir + "/tone-chain-a.wav", decayingNoise(2000, 300, 1));
    const std::string irB = writeWav(dir + "/tone-chain-b.wav", decayingNoise(9000, 300, 2), 44100);
    std::string error;
    CaptureReport capture;
    CabinetReport cabinet;
    // The control thread's side, between blocks: loads, switches, unloads.
    const std::map<size_t, std::function<bool()>> changes = {
        {20, [&] { return chain.loadCapture(modelPath("wavenet"), capture, error); }},
        {90, [&] { return chain.loadCabinet(irA, false, cabinet, error); }},
        {160, [&] { return chain.loadCapture(modelPath("wavenet_a1_standard"), capture, error); }},
        {230, [&] { return chain.loadCabinet(irB, true, cabinet, error); }},
        {300, [&] { return chain.unloadCapture(), true; }},
        {370, [&] { return chain.unloadCabinet(), true; }},
        {440, [&] { return chain.setCabinetNormalize(false), true; }}, // nothing loaded: nothing to do
    };
    std::vector<float> out = guitarLike(48000 * 4);
    AllocationCounter::reset();
    float largestStep = 0.0f, stepAtSwap = 0.0f;
    for (size_t b = 0; b * block < out.size(); ++b) {
        const auto change = changes.find(b);
        if (change != changes.end()) ASSERT_TRUE(change->second()) << error;
        chain.releaseRetired();
        {
            AllocationCounter::Scope audioThread;
            chain.process(&out[b * block], block);
        }
        // The biggest sample-to-sample step into and within each block.
        for (size_t i = std::max<size_t>(b * block, 1); i < (b + 1) * block; ++i) {
            const float step = std::fabs(out[i] - out[i - 1]);
            if (change != changes.end()) stepAtSwap = std::max(stepAtSwap, step);
            else if (b > 20) largestStep = std::max(largestStep, step);
        }
    }
    EXPECT_EQ(AllocationCounter::allocations(), 0u);
    EXPECT_EQ(AllocationCounter::lockWaits(), 0u);
    EXPECT_GT(largestStep, 0.0f);
    EXPECT_LE(stepAtSwap, largestStep) << "a hand-over steps further than the signal itself does";
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
    for (size_t i = 0; i < 4800; ++i)
        signal[12000 + i] = float(0.5 * std::pow(std::sin(M_PI * i / 4800.0), 2) * std::sin(2 * M_PI * 1000.0 * i / 48000.0));
    std::vector<float> out = signal;
    runBlocks(chain, out, 100);
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
