// Cost of the signal chain as a realtime factor: seconds of audio processed
// per second of CPU ("realtime" counter; 200 means 200x faster than real time).
#include "dsp/Amp.h"
#include "dsp/Oversampler.h"
#include "dsp/PitchDetector.h"
#include "engine/Engine.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {
using namespace corvena;

constexpr uint32_t rate = 48000;
constexpr int32_t frames = 128;

std::vector<float> guitar(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = 0.3f * static_cast<float>(std::sin(0.0257 * static_cast<double>(i)) +
                                         0.3 * std::sin(0.0911 * static_cast<double>(i)));
    return v;
}

void reportRealtime(benchmark::State& state) {
    state.counters["realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * frames / rate, benchmark::Counter::kIsRate);
}

void BM_Amp(benchmark::State& state) {
    AmpSettings s;
    s.model = static_cast<AmpModel>(state.range(0));
    state.SetLabel(s.model == AmpModel::Drive ? "drive" : "clean");
    Amp amp(s);
    amp.prepare(rate, frames);
    amp.applySettings(s);
    const std::vector<float> in = guitar(frames * 64);
    std::vector<float> out(frames);
    size_t at = 0;
    for (auto _ : state) {
        amp.process(in.data() + at, out.data(), frames);
        benchmark::DoNotOptimize(out.data());
        at = (at + frames) % in.size();
    }
    reportRealtime(state);
}
BENCHMARK(BM_Amp)->ArgName("model")->Arg(0)->Arg(1);

void BM_OversamplerPair(benchmark::State& state) {
    Oversampler o;
    o.prepare(frames);
    const std::vector<float> in = guitar(frames);
    std::vector<float> up(4 * frames), out(frames);
    for (auto _ : state) {
        o.upsample(in.data(), up.data(), frames);
        o.downsample(up.data(), out.data(), frames);
        benchmark::DoNotOptimize(out.data());
    }
    reportRealtime(state);
}
BENCHMARK(BM_OversamplerPair);

// The whole callback on an engine set up as a stream open leaves it, Drive on.
void BM_ProcessBlock(benchmark::State& state) {
    const uint32_t channels = static_cast<uint32_t>(state.range(0));
    static Engine engine; // large; made once
    engine.info.sampleRate = rate;
    engine.inputChannelCount = channels;
    for (auto* b : {&engine.diBuffer, &engine.wetBuffer, &engine.pluginLeft, &engine.pluginRight}) b->assign(frames, 0.0f);
    engine.tone.prepare(rate, frames);
    engine.tone.applySettings(AmpSettings{});
    engine.limiter.prepare(rate);
    const std::vector<float> mono = guitar(frames * 16);
    std::vector<float> in(static_cast<size_t>(frames) * channels * 16);
    for (size_t i = 0; i < in.size(); ++i) in[i] = mono[(i / channels) % mono.size()];
    std::vector<float> out(2 * frames);
    size_t block = 0;
    for (auto _ : state) {
        engine.processBlock(out.data(), in.data() + block * frames * channels, frames, 0);
        benchmark::DoNotOptimize(out.data());
        block = (block + 1) % 16;
    }
    reportRealtime(state);
}
BENCHMARK(BM_ProcessBlock)->Arg(2)->Arg(64)->ArgName("inputs");

// One tuner reading as the main loop takes it: 50 ms of a plucked-like E2 in,
// the window analysed. "eventShare": the time taken as a share of the 50 ms
// between level events (0.01 is 1 %).
void BM_PitchDetector(benchmark::State& state) {
    const double sampleRate = static_cast<double>(state.range(0));
    PitchDetector detector;
    detector.prepare(sampleRate);
    const size_t period = static_cast<size_t>(sampleRate / 20.0);
    std::vector<float> in(period * 8);
    for (size_t i = 0; i < in.size(); ++i) {
        const double t = static_cast<double>(i) / sampleRate;
        in[i] = static_cast<float>(0.2 * std::sin(2.0 * M_PI * 82.41 * t) + 0.4 * std::sin(2.0 * M_PI * 164.82 * t + 0.3) +
                                   0.1 * std::sin(2.0 * M_PI * 247.23 * t + 1.1));
    }
    size_t at = 0;
    for (auto _ : state) {
        detector.process(in.data() + at, static_cast<int32_t>(period));
        benchmark::DoNotOptimize(detector.analyse());
        at = (at + period) % in.size();
    }
    state.counters["eventShare"] = benchmark::Counter(static_cast<double>(state.iterations()) * 0.05,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PitchDetector)->ArgName("rate")->Arg(44100)->Arg(48000)->Arg(96000)->Arg(192000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
