// Cabinet impulse responses: the file loader, resampling, and the zero-latency
// convolver against direct convolution.
#include "CaptureTestKit.h"
#include "capture/Convolver.h"
#include "capture/ConvolverKernels.h"
#include "capture/ImpulseResponse.h"

#include <gtest/gtest.h>

#include <array>
#include <complex>
#include <numeric>

namespace corvena {
namespace {
using namespace test;
namespace fs = std::filesystem;

// Direct convolution in double, visiting only the input's non-zero samples.
std::vector<double> reference(const std::vector<float>& h, const std::vector<float>& x) {
    std::vector<double> y(x.size(), 0.0);
    for (size_t m = 0; m < x.size(); ++m)
        for (size_t t = m; x[m] != 0.0f && t < std::min(x.size(), m + h.size()); ++t) y[t] += double(x[m]) * h[t - m];
    return y;
}

TEST(Convolver, EqualsDirectConvolutionAtAnyBlockSizeWithNoLatency) {
    std::mt19937 random(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    // Short responses on noise; a ten-second one on a sparse input (impulses and
    // short bursts) that keeps the reference cheap while reaching every partition.
    std::vector<float> noise(20000), sparse(600000, 0.0f);
    for (float& v : noise) v = u(random);
    for (size_t at : {0, 777, 50000, 200001, 479999}) sparse[at] = u(random);
    for (size_t at : {1000, 130000, 333333, 520000})
        for (size_t i = 0; i < 64; ++i) sparse[at + i] = u(random);
    // Both kernel sets, and a shorter head (a tick of 32 frames).
    std::vector<ConvolverTuning> tunings{{true}, {false, 32}};
    if (avx2Available()) tunings.push_back({false});
    for (size_t taps : {1, 127, 128, 129, 4096, 480000}) {
        const std::vector<float> h = decayingNoise(taps, taps / 3.0 + 1, uint32_t(taps));
        const std::vector<float>& x = taps > 4096 ? sparse : noise;
        const std::vector<double> want = reference(h, x);
        for (const ConvolverTuning& tuning : tunings)
            for (int32_t fixed : {1, 128, 300, 0}) { // 0: sizes changing from block to block
                Convolver c;
                c.prepare(h, 1024, tuning);
                const auto y = render(c, x, [&](size_t) { return fixed ? fixed : int32_t(random() % 1024 + 1); },
                                      fixed == 0 || fixed == 300); // in place
                // Float arithmetic keeps the error near 3e-7; a frame of latency would make it about 1.
                EXPECT_LT(relativeRms(y, want), 1e-6) << taps << " taps, blocks of " << fixed << ", " << c.describe();
            }
    }
}

TEST(ResponseFiles, TakeTheFirstChannelAtTheFileRateAndRefuseWhatIsNoUsableResponse) {
    const fs::path dir = fs::temp_directory_path() / ("cabinet-tests-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const auto path = [&](const std::string& name) { return (dir / fs::u8path(name)).u8string(); };
    std::ofstream(dir / "text.wav", std::ios::binary) << "RIFF? no, just some words in a file\n";
    std::ofstream(dir / "nothing.wav", std::ios::binary);
    const std::pair<std::string, std::string> refused[] = {
        {path("missing.wav"), "cannot open"},
        {path("text.wav"), "not an audio file"},
        {path("nothing.wav"), "not an audio file"},
        {writeWav(path("no-frames.wav"), {}), "empty"},
        {writeWav(path("silent.wav"), std::vector<float>(1000, 0.0f)), "silent"},
        {writeWav(path("nan.wav"), {0.1f, std::nanf(""), 0.1f}), "not finite"},
        {writeWav(path("long.wav"), std::vector<float>(80001, 0.1f), 8000), "longer than 10 s"},
    };
    ImpulseResponse ir;
    std::string error;
    for (const auto& [file, expected] : refused) {
        EXPECT_FALSE(loadImpulseResponse(file, ir, error)) << file;
        EXPECT_NE(error.find(expected), std::string::npos) << file << ": " << error;
    }
    // Exactly 10 s of 24-bit stereo under a name with accents: the first channel, at the file's rate.
    std::vector<float> stereo(2 * 80000, -0.5f);
    for (size_t i = 0; i < 80000; ++i) stereo[2 * i] = 0.9f * std::sin(0.01f * float(i)) * std::exp(-float(i) / 8000.0f);
    ASSERT_TRUE(loadImpulseResponse(writeWav(path("cab ÄÖ.wav"), stereo, 8000, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2), ir, error)) << error;
    EXPECT_EQ(std::pair(ir.channels, ir.sampleRate), std::pair(2u, 8000.0));
    ASSERT_EQ(ir.samples.size(), 80000u);
    for (size_t i = 0; i < 80000; ++i) ASSERT_NEAR(ir.samples[i], stereo[2 * i], 1e-6) << i;
    fs::remove_all(dir);
}

// Magnitude response in dB at `hz`, by direct evaluation.
double levelAt(const std::vector<float>& h, double rate, double hz) {
    std::complex<double> sum = 0;
    for (size_t n = 0; n < h.size(); ++n) sum += double(h[n]) * std::polar(1.0, -2.0 * M_PI * hz / rate * double(n));
    return 20.0 * std::log10(std::abs(sum));
}

TEST(ImpulseResponseRate, ResamplingKeepsTheSpectrumAndNormalisingTheEnergy) {
    // A cabinet-like response at 44.1 kHz: a few damped resonances, a dip, and
    // a roll-off above 5 kHz, well decayed within its 4096 samples.
    const double rate = 44100;
    std::vector<float> h(4096, 0.0f);
    h[0] = 0.5f;
    for (size_t n = 0; n < h.size(); ++n) // {Hz, decay in s, level}
        for (const auto& m : {std::array{110.0, 0.02, 0.6}, {700.0, 0.004, 0.3}, {2500.0, 0.003, -0.25}, {4200.0, 0.002, 0.2}})
            h[n] += float(m[2] * std::exp(-double(n) / rate / m[1]) * std::sin(2 * M_PI * m[0] * double(n) / rate) * 0.2);
    for (int pass = 0; pass < 2; ++pass) // a gentle low-pass: y = 0.6 x + 0.4 y[-1]
        for (size_t n = 1; n < h.size(); ++n) h[n] = 0.6f * h[n] + 0.4f * h[n - 1];
    const std::vector<float> r = resampleImpulse(h, rate, 48000);
    ASSERT_NEAR(double(r.size()), 4096 * 48000 / rate, 200.0);
    EXPECT_LE(std::max_element(r.begin(), r.end(), [](float a, float b) { return std::abs(a) < std::abs(b); }) - r.begin(), 6)
        << "the onset stays at the start";
    double worst = 0;
    for (double hz = 20; hz <= 18000; hz *= 1.02) worst = std::max(worst, std::abs(levelAt(r, 48000, hz) - levelAt(h, rate, hz)));
    EXPECT_LT(worst, 0.1) << "dB";

    std::vector<float> unit = r;
    normalizeEnergy(unit);
    EXPECT_NEAR(std::inner_product(unit.begin(), unit.end(), unit.begin(), 0.0), 1.0, 1e-5);
    EXPECT_NEAR(unit[100] / r[100], unit[2000] / r[2000], 1e-6) << "one scale for all samples";
}

} // namespace
} // namespace corvena
