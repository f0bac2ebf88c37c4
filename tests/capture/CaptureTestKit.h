#pragma once
// Shared by the capture and re-amp tests: the example captures, sound files,
// running a network with a chosen kernel, and the engine process on JACK.
#include "capture/CaptureKernels.h"
#include "capture/CaptureModel.h"

#ifdef _WIN32
#define ENABLE_SNDFILE_WINDOWS_PROTOTYPES 1 // sf_wchar_open, for the file names with accents
#include <windows.h>
#endif
#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace corvena::test {

inline std::string captureDir() { return std::string(CORVENA_SOURCE_DIR) + "/../shared/capture"; }
inline std::string modelPath(const std::string& name) { return captureDir() + "/models/" + name + ".nam"; }

// Interleaved samples; nothing when the file does not open.
inline std::vector<float> readWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<float> v(size_t(info.frames) * size_t(info.channels));
    sf_readf_float(f, v.data(), info.frames);
    sf_close(f);
    return v;
}

// `path` in UTF-8.
inline std::string writeWav(const std::string& path, const std::vector<float>& interleaved, int rate = 48000,
                            int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT, int channels = 1) {
    SF_INFO info{0, rate, channels, format, 0, 0};
#ifdef _WIN32
    SNDFILE* f = sf_wchar_open(std::filesystem::u8path(path).wstring().c_str(), SFM_WRITE, &info);
#else
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
#endif
    if (f) sf_writef_float(f, interleaved.data(), sf_count_t(interleaved.size() / size_t(channels))), sf_close(f);
    return path;
}

// Three partials of a guitar's low A, whole periods in every 0.1 s.
inline std::vector<float> threePartials(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        for (const auto& [hz, level] : {std::pair{110.0, 0.3}, {330.0, 0.15}, {1230.0, 0.05}})
            v[i] += float(level * std::sin(2 * M_PI * hz * double(i) / 48000.0));
    return v;
}

// Noise decaying over `decay` samples from 0.8: a cabinet-like response.
inline std::vector<float> decayingNoise(size_t taps, double decay, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> h(taps);
    for (size_t i = 0; i < taps; ++i) h[i] = u(random) * float(std::exp(-double(i) / decay));
    h[0] = 0.8f;
    return h;
}

// Every kernel this processor runs.
inline std::vector<std::string> kernelNames() {
    std::vector<std::string> names{"portable"};
    if (capture::avx2Kernels()) names.push_back("avx2");
    if (capture::avx512Kernels()) names.push_back("avx512");
    return names;
}

// The kernel of the networks made from now on ("": the fastest).
inline void useKernel(const std::string& name) {
#ifdef _WIN32
    _putenv_s("CORVENA_CAPTURE_KERNEL", name.c_str());
#else
    setenv("CORVENA_CAPTURE_KERNEL", name.c_str(), 1);
#endif
}

// Runs `in` through a network or convolver in blocks whose sizes `block(i)`
// gives; in place when asked.
template <typename Processor>
std::vector<float> render(Processor& p, const std::vector<float>& in, const std::function<int32_t(size_t)>& block,
                          bool inPlace = false) {
    std::vector<float> out = inPlace ? in : std::vector<float>(in.size());
    for (size_t at = 0, i = 0; at < in.size(); ++i) {
        const size_t n = std::min<size_t>(size_t(block(i)), in.size() - at);
        p.process((inPlace ? out.data() : in.data()) + at, out.data() + at, int32_t(n));
        at += n;
    }
    return out;
}

// RMS of the difference relative to the reference's.
template <typename R> double relativeRms(const std::vector<float>& y, const std::vector<R>& r) {
    double e = 0.0, s = 0.0;
    for (size_t i = 0; i < r.size(); ++i) e += std::pow(y[i] - double(r[i]), 2), s += std::pow(double(r[i]), 2);
    return std::sqrt(e / s);
}

} // namespace corvena::test

#ifndef _WIN32 // the engine process on the test binary's private JACK server
#include "support/EngineProcess.h"
#include "support/JackPeer.h"
#include "support/JackServer.h"

#include <gtest/gtest.h>

namespace corvena::test {

// An opened engine, its first input fed `loop` over and over, its outputs
// captured by the peer; files go to a folder of the test's own.
class EngineOnJack : public ::testing::Test {
protected:
    explicit EngineOnJack(std::vector<float> feed) : loop(std::move(feed)) {}
    void SetUp() override {
        ASSERT_TRUE(engine.ready());
        ASSERT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());
        ASSERT_TRUE(peer.connectToEngine()) << peer.error();
        peer.setLoop(0, loop);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    bool ok(const json& request) { return engine.request(request).value("ok", false); }

    const std::vector<float> loop;
    const std::string dir = freshTempDir("engine-on-jack");
    EngineProcess engine{JackServer::shared().environment()};
    JackPeer peer{JackServer::shared().name(), "TestPeer"};
};

} // namespace corvena::test
#endif
