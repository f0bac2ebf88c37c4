// Cabinet impulse responses: the file loader, resampling, and the zero-latency
// convolver against direct convolution.
#include "capture/Convolver.h"
#include "capture/ConvolverKernels.h"
#include "capture/ImpulseResponse.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#define ENABLE_SNDFILE_WINDOWS_PROTOTYPES 1 // sf_wchar_open, for the file names with accents
#include <windows.h>
#endif
#include <sndfile.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <random>

namespace corvena {
namespace {
namespace fs = std::filesystem;

std::vector<float> decayingNoise(size_t taps, double decay, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> h(taps);
    for (size_t i = 0; i < taps; ++i) h[i] = u(random) * float(std::exp(-double(i) / decay));
    h[0] = 0.8f;
    return h;
}

// Block sizes: fixed, or changing from block to block (0).
std::vector<int32_t> blockSizes(int32_t fixed, int32_t maxBlock, size_t total) {
    std::mt19937 random(7);
    std::vector<int32_t> sizes;
    for (size_t done = 0; done < total; done += size_t(sizes.back()))
        sizes.push_back(int32_t(std::min<size_t>(fixed ? size_t(fixed) : random() % uint32_t(maxBlock) + 1, total - done)));
    return sizes;
}

// Runs the whole input through in blocks, in place when asked.
std::vector<float> convolve(Convolver& c, const std::vector<float>& x, const std::vector<int32_t>& sizes, bool inPlace) {
    std::vector<float> y = inPlace ? x : std::vector<float>(x.size());
    size_t at = 0;
    for (int32_t n : sizes) c.process((inPlace ? y.data() : x.data()) + at, y.data() + at, n), at += size_t(n);
    return y;
}

// Direct convolution in double, visiting only the input's non-zero samples.
std::vector<double> reference(const std::vector<float>& h, const std::vector<float>& x) {
    std::vector<double> y(x.size(), 0.0);
    for (size_t m = 0; m < x.size(); ++m) {
        if (x[m] == 0.0f) continue;
        const size_t end = std::min(x.size(), m + h.size());
        for (size_t t = m; t < end; ++t) y[t] += double(x[m]) * h[t - m];
    }
    return y;
}

// The difference's RMS relative to the reference's (float arithmetic keeps
// this near 3e-7; the largest single deviation is a few times that).
double relativeError(const std::vector<float>& y, const std::vector<double>& ref) {
    double energy = 0, error = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
        energy += ref[i] * ref[i];
        error += (y[i] - ref[i]) * (y[i] - ref[i]);
    }
    return std::sqrt(error / energy);
}

// Both kernel sets, and a shorter head (a tick of 32 frames).
std::vector<ConvolverTuning> kernelSets() {
    std::vector<ConvolverTuning> sets{{true}, {false, 32}};
    if (avx2Available()) sets.push_back({false});
    return sets;
}

TEST(Convolver, EqualsDirectConvolutionAtAnyBlockSizeWithNoLatency) {
    const int32_t maxBlock = 512;
    std::mt19937 random(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> noise(20000);
    for (float& v : noise) v = u(random);
    for (const ConvolverTuning& tuning : kernelSets()) {
        for (size_t taps : {1, 127, 128, 129, 4096}) {
            const std::vector<float> h = decayingNoise(taps, taps / 3.0 + 1, uint32_t(taps));
            const std::vector<double> want = reference(h, noise);
            for (int32_t fixed : {1, 128, 300, 0}) {
                Convolver c;
                c.prepare(h, maxBlock, tuning);
                const bool inPlace = fixed == 0 || fixed == 300;
                const std::vector<float> got = convolve(c, noise, blockSizes(fixed, maxBlock, noise.size()), inPlace);
                EXPECT_LT(relativeError(got, want), 1e-6) << taps << " taps, blocks of " << fixed << ", " << c.describe();
            }
        }
        // An impulse comes out in the frame it went in, in any block.
        const std::vector<float> h = decayingNoise(129, 40, 1);
        Convolver c;
        c.prepare(h, maxBlock, tuning);
        std::vector<float> block(64, 0.0f);
        for (int b = 0; b < 5; ++b) c.process(block.data(), block.data(), 64);
        block[17] = 1.0f;
        c.process(block.data(), block.data(), 64);
        for (int i = 0; i < 17; ++i) ASSERT_EQ(block[size_t(i)], 0.0f);
        EXPECT_FLOAT_EQ(block[17], h[0]);
        EXPECT_FLOAT_EQ(block[63], h[46]);
    }
}

TEST(Convolver, TenSecondResponseEqualsDirectConvolution) {
    // A sparse input (impulses and short bursts) keeps the reference cheap
    // while reaching every partition of every level.
    const std::vector<float> h = decayingNoise(480000, 150000, 11);
    std::vector<float> x(600000, 0.0f);
    std::mt19937 random(5);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (size_t at : {0, 777, 50000, 200001, 479999}) x[at] = u(random);
    for (size_t at : {1000, 130000, 333333, 520000})
        for (size_t i = 0; i < 64; ++i) x[at + i] = u(random);
    const std::vector<double> want = reference(h, x);
    for (const ConvolverTuning& tuning : kernelSets()) {
        for (int32_t fixed : {128, 0}) {
            Convolver c;
            c.prepare(h, 1024, tuning);
            const std::vector<float> got = convolve(c, x, blockSizes(fixed, 1024, x.size()), fixed == 0);
            EXPECT_LT(relativeError(got, want), 1e-6) << "blocks of " << fixed << ", " << c.describe();
        }
    }
}

// Files written with libsndfile into a folder of the test's own.
class ResponseFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("cabinet-tests-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string write(const std::string& name, int format, int rate, int channels, const std::vector<float>& interleaved) {
        const std::string path = (dir / fs::u8path(name)).u8string();
        SF_INFO info{0, rate, channels, format, 0, 0};
#ifdef _WIN32
        SNDFILE* f = sf_wchar_open((dir / fs::u8path(name)).wstring().c_str(), SFM_WRITE, &info);
#else
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
#endif
        EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
        sf_writef_float(f, interleaved.data(), sf_count_t(interleaved.size() / size_t(channels)));
        sf_close(f);
        return path;
    }
    std::string writeBytes(const std::string& name, const std::string& bytes) {
        const std::string path = (dir / name).string();
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        return std::fclose(f), path;
    }
    fs::path dir;
};

TEST_F(ResponseFiles, RefusesWhatIsNoUsableResponse) {
    const int wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    std::vector<float> silent(1000, 0.0f), notFinite(1000, 0.1f), tooLong(80001, 0.1f);
    notFinite[500] = std::nanf("");
    const struct {
        std::string path, error;
    } cases[] = {
        {(dir / "missing.wav").string(), "cannot open"},
        {writeBytes("text.wav", "RIFF? no, just some words in a file\n"), "not an audio file"},
        {writeBytes("nothing.wav", ""), "not an audio file"},
        {write("no-frames.wav", wav16, 48000, 1, {}), "empty"},
        {write("silent.wav", wav16, 48000, 1, silent), "silent"},
        {write("nan.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 1, notFinite), "not finite"},
        {write("long.wav", wav16, 8000, 1, tooLong), "longer than 10 s"},
    };
    for (const auto& c : cases) {
        ImpulseResponse ir;
        std::string error;
        EXPECT_FALSE(loadImpulseResponse(c.path, ir, error)) << c.path;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.path << ": " << error;
    }
    ImpulseResponse ir;
    std::string error;
    tooLong.pop_back(); // exactly 10 s is allowed
    EXPECT_TRUE(loadImpulseResponse(write("ten.wav", wav16, 8000, 1, tooLong), ir, error)) << error;
    EXPECT_DOUBLE_EQ(ir.seconds(), 10.0);

    // The transforms' wisdom goes through the same path seam.
    const std::string wisdom = (dir / fs::u8path("wisdom ÄÖ.txt")).u8string();
    EXPECT_TRUE(saveConvolverWisdom(wisdom));
    EXPECT_TRUE(loadConvolverWisdom(wisdom));
    EXPECT_FALSE(loadConvolverWisdom((dir / "none").string()));
}

TEST_F(ResponseFiles, TakesTheFirstChannelOfAnyFormat) {
    std::vector<float> stereo(2 * 3000);
    for (size_t i = 0; i < 3000; ++i) {
        stereo[2 * i] = 0.9f * std::sin(0.01f * float(i)) * std::exp(-float(i) / 800.0f);
        stereo[2 * i + 1] = -0.5f;
    }
    const struct {
        std::string name;
        int format, rate;
        double step;
    } cases[] = {
        {"cab 24-bit stereo ÄÖ.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 44100, 1.0 / 8388608},
        {"cab-32.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 96000, 1.0 / 2147483648.0},
        {"cab-float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 1e-7},
#ifndef _WIN32 // the Windows build's libsndfile has no external codecs
        {"cab.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 22050, 1.0 / 32768},
#endif
    };
    for (const auto& c : cases) {
        ImpulseResponse ir;
        std::string error;
        ASSERT_TRUE(loadImpulseResponse(write(c.name, c.format, c.rate, 2, stereo), ir, error)) << c.name << ": " << error;
        EXPECT_EQ(ir.channels, 2u);
        EXPECT_EQ(ir.sampleRate, c.rate);
        ASSERT_EQ(ir.samples.size(), 3000u);
        for (size_t i = 0; i < 3000; ++i) ASSERT_NEAR(ir.samples[i], stereo[2 * i], 2 * c.step) << c.name << " at " << i;
    }
}

// Magnitude response in dB at `hz`, by direct evaluation.
double levelAt(const std::vector<float>& h, double rate, double hz) {
    std::complex<double> sum = 0;
    const double w = -2.0 * M_PI * hz / rate;
    for (size_t n = 0; n < h.size(); ++n) sum += double(h[n]) * std::polar(1.0, w * double(n));
    return 20.0 * std::log10(std::abs(sum));
}

TEST(ImpulseResponseRate, ResamplingKeepsTheSpectrumAndNormalisingTheEnergy) {
    // A cabinet-like response at 44.1 kHz: a few damped resonances, a dip, and
    // a roll-off above 5 kHz, well decayed within its 4096 samples.
    const double rate = 44100;
    std::vector<float> h(4096, 0.0f);
    const double modes[][3] = {{110, 0.02, 0.6}, {700, 0.004, 0.3}, {2500, 0.003, -0.25}, {4200, 0.002, 0.2}};
    for (size_t n = 0; n < h.size(); ++n) {
        const double t = double(n) / rate;
        double v = n == 0 ? 0.5 : 0.0;
        for (const auto& m : modes) v += m[2] * std::exp(-t / m[1]) * std::sin(2 * M_PI * m[0] * t) * 0.2;
        h[n] = float(v);
    }
    for (int pass = 0; pass < 2; ++pass) // a gentle low-pass: y = 0.6 x + 0.4 y[-1]
        for (size_t n = 1; n < h.size(); ++n) h[n] = 0.6f * h[n] + 0.4f * h[n - 1];
    const std::vector<float> r = resampleImpulse(h, rate, 48000);
    ASSERT_NEAR(double(r.size()), 4096 * 48000 / rate, 200.0);
    size_t peak = 0;
    for (size_t i = 0; i < r.size(); ++i) peak = std::abs(r[i]) > std::abs(r[peak]) ? i : peak;
    EXPECT_LE(peak, 6u) << "the onset stays at the start";
    double worst = 0;
    for (double hz = 20; hz <= 18000; hz *= 1.02)
        worst = std::max(worst, std::abs(levelAt(r, 48000, hz) - levelAt(h, rate, hz)));
    EXPECT_LT(worst, 0.1) << "dB";

    std::vector<float> unit = r;
    normalizeEnergy(unit);
    double energy = 0;
    for (float v : unit) energy += double(v) * v;
    EXPECT_NEAR(energy, 1.0, 1e-5);
    EXPECT_NEAR(unit[100] / r[100], unit[2000] / r[2000], 1e-6) << "one scale for all samples";
}

} // namespace
} // namespace corvena
