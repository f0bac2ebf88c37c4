// Cost of the signal chain as a realtime factor: seconds of audio processed
// per second of CPU ("realtime" counter; 200 means 200x faster than real time).
#include "dsp/Amp.h"
#include "dsp/Oversampler.h"
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
    engine.amp.prepare(rate, frames);
    engine.amp.applySettings(AmpSettings{});
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

} // namespace

BENCHMARK_MAIN();
