// The tone chain around captures and cabinet responses: the capture path's
// exact pass-through, the built-in models untouched, clean hand-overs on the
// audio thread (no allocation, no lock, no jump) and the resampled capture's delay.
#include "capture/CaptureModel.h"
#include "dsp/ToneChain.h"
#include "support/AllocationCounter.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <fstream>
#include <sstream>

namespace corvena {
namespace {
using test::AllocationCounter;

const std::string models = std::string(CORVENA_SOURCE_DIR) + "/../shared/capture/models/";
constexpr int32_t block = 128;

std::vector<float> guitarLike(size_t n, double rate = 48000.0) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        v[i] = static_cast<float>(0.3 * std::sin(2 * M_PI * 110.0 * t) + 0.15 * std::sin(2 * M_PI * 330.7 * t) +
                                  0.05 * std::sin(2 * M_PI * 1234.5 * t));
    }
    return v;
}

void runBlocks(ToneChain& chain, std::vector<float>& signal, int32_t size = block) {
    for (size_t at = 0; at < signal.size(); at += static_cast<size_t>(size))
        chain.process(signal.data() + at, static_cast<int32_t>(std::min<size_t>(size, signal.size() - at)));
}

// A response file of our own: a decaying noise burst, or any samples given.
std::string writeResponse(const std::string& name, const std::vector<float>& samples, int rate) {
    const std::string path = std::string(CORVENA_BINARY_DIR) + "/" + name;
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    sf_writef_float(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    return path;
}

std::vector<float> cabinetLike(size_t n, uint32_t seed) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        v[i] = static_cast<float>((static_cast<double>(seed >> 8) / 8388608.0 - 1.0) * std::exp(-double(i) / 300.0));
    }
    return v;
}

AmpSettings captureSettings(float level = 0.7f) {
    AmpSettings s;
    s.model = AmpModel::Capture;
    s.gain = 0.5f;
    s.gate = 0.0f;
    s.level = level;
    return s;
}

TEST(ToneChain, CapturePathIsExactlyTheModelAndBuiltInModelsAreUnchanged) {
    std::string error;
    auto file = loadCaptureFile(models + "wavenet.nam", error);
    ASSERT_TRUE(file) << error;
    const std::vector<float> in = guitarLike(48000);

    // Gate off, trim at unity, flat tone stack, no cabinet: the model's output
    // times the output level, to the bit.
    auto model = makeCaptureModel(*file);
    model->prepare(block);
    std::vector<float> expected = in;
    for (size_t at = 0; at < expected.size(); at += block) model->process(&expected[at], &expected[at], block);
    ToneChain chain(captureSettings(1.0f));
    chain.prepare(48000.0, block);
    CaptureReport report;
    ASSERT_TRUE(chain.loadCapture(models + "wavenet.nam", report, error)) << error;
    EXPECT_EQ(report.architecture, "WaveNet");
    std::vector<float> got = in;
    runBlocks(chain, got);
    const float level = 0.5f; // 1.0 squared, halved: the amp's output level law
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], expected[i] * level) << i;

    // Normalised: the loudness brought to the common target.
    chain.setCaptureNormalize(true);
    chain.prepare(48000.0, block);
    std::vector<float> normalised = in;
    runBlocks(chain, normalised);
    const double gain = std::pow(10.0, (-18.0 - *file->loudness) / 20.0);
    EXPECT_NEAR(normalised[30000] / got[30000], gain, 1e-4);

    // Clean and Drive without a cabinet response are the amp as it always was.
    for (AmpModel m : {AmpModel::Clean, AmpModel::Drive}) {
        AmpSettings s;
        s.model = m;
        Amp amp(s);
        amp.prepare(48000.0, block);
        ToneChain plain(s);
        plain.prepare(48000.0, block);
        std::vector<float> a = in, b = in;
        for (size_t at = 0; at < a.size(); at += block) amp.process(&a[at], &a[at], block);
        runBlocks(plain, b);
        EXPECT_EQ(a, b);
    }
}

TEST(ToneChain, LiveHandOversAllocateNothingWaitForNothingAndDoNotJump) {
    ToneChain chain(captureSettings());
    chain.prepare(48000.0, block);
    chain.setLive(true);
    std::string error;
    CaptureReport capture;
    CabinetReport cabinet;
    const std::string small = models + "wavenet.nam", standard = models + "wavenet_a1_standard.nam";
    const std::string irA = writeResponse("tone-chain-a.wav", cabinetLike(2000, 1), 48000);
    const std::string irB = writeResponse("tone-chain-b.wav", cabinetLike(9000, 2), 44100);

    std::vector<float> in = guitarLike(48000 * 4), out(in.size());
    AllocationCounter::reset();
    float largestStep = 0.0f, stepAtSwap = 0.0f;
    for (size_t b = 0; b * block < in.size(); ++b) {
        // The control thread's side, between blocks: loads, switches, unloads.
        bool swap = true;
        switch (b) {
        case 20: ASSERT_TRUE(chain.loadCapture(small, capture, error)) << error; break;
        case 90: ASSERT_TRUE(chain.loadCabinet(irA, false, cabinet, error)) << error; break;
        case 160: ASSERT_TRUE(chain.loadCapture(standard, capture, error)) << error; break;
        case 230: ASSERT_TRUE(chain.loadCabinet(irB, true, cabinet, error)) << error; break;
        case 300: chain.unloadCapture(); break;
        case 370: chain.unloadCabinet(); break;
        case 440: chain.setCabinetNormalize(false); break; // nothing loaded: nothing to do
        default: swap = false;
        }
        chain.releaseRetired();
        std::copy(&in[b * block], &in[b * block] + block, &out[b * block]);
        {
            AllocationCounter::Scope audioThread;
            chain.process(&out[b * block], block);
        }
        // The biggest sample-to-sample step within and into each block.
        for (size_t i = b * block; i < (b + 1) * block; ++i) {
            if (i == 0) continue;
            const float step = std::fabs(out[i] - out[i - 1]);
            if (swap)
                stepAtSwap = std::max(stepAtSwap, step);
            else if (b > 20)
                largestStep = std::max(largestStep, step);
        }
    }
    EXPECT_EQ(AllocationCounter::allocations(), 0u);
    EXPECT_EQ(AllocationCounter::lockWaits(), 0u);
    EXPECT_GT(largestStep, 0.0f);
    EXPECT_LE(stepAtSwap, largestStep) << "a hand-over steps further than the signal itself does";
    EXPECT_EQ(cabinet.sampleRate, 44100.0);
    EXPECT_TRUE(chain.capturePath().empty());
}

TEST(ToneChain, CaptureAtAnotherRateRunsBehindResamplersWithTheDelayItReports) {
    // A one-tap Linear capture trained at 44.1 kHz: the identity, so what comes
    // out of a 48 kHz stream is the input, delayed by the resamplers alone.
    const std::string path = std::string(CORVENA_BINARY_DIR) + "/identity-44k.nam";
    std::ofstream(path) << R"({"version":"0.5.4","architecture":"Linear","sample_rate":44100,)"
                        << R"("config":{"receptive_field":1,"bias":false},"weights":[1.0]})";
    ToneChain chain(captureSettings(std::sqrt(2.0f))); // output level 1
    chain.prepare(48000.0, block);
    std::string error;
    CaptureReport report;
    ASSERT_TRUE(chain.loadCapture(path, report, error)) << error;
    EXPECT_EQ(report.sampleRate, 44100.0);
    const double latencyFrames = chain.latencyMs() * 48.0;
    EXPECT_GT(latencyFrames, 0.0);
    EXPECT_LT(latencyFrames, 48.0 * 20) << "at most 20 ms";

    // A tone burst: its envelope's centre comes out late by the reported delay.
    std::vector<float> signal(48000, 0.0f);
    for (size_t i = 0; i < 4800; ++i) {
        const double w = std::sin(M_PI * i / 4800.0);
        signal[12000 + i] = static_cast<float>(0.5 * w * w * std::sin(2 * M_PI * 1000.0 * i / 48000.0));
    }
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
