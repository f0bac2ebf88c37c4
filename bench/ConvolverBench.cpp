// Cabinet convolution at 48 kHz in blocks of 128 frames: seconds of audio per
// CPU second ("x_realtime"), for responses of 0.1, 2 and 10 s, with the AVX2
// kernels and with the portable ones; and how unevenly the work falls on
// blocks (the worst block's CPU time against the average).
#include "capture/Convolver.h"
#include "capture/ConvolverKernels.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <random>
#include <vector>

namespace {
using corvena::Convolver;
using corvena::ConvolverTuning;

constexpr double rate = 48000.0;
constexpr int32_t block = 128;

std::vector<float> response(double seconds) {
    std::mt19937 random(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> h(size_t(seconds * rate));
    for (size_t i = 0; i < h.size(); ++i) h[i] = u(random) * std::exp(-float(i) / float(0.3 * h.size()));
    return h;
}

std::vector<float> noise(size_t n) {
    std::mt19937 random(2);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    std::vector<float> x(n);
    for (float& v : x) v = u(random);
    return x;
}

ConvolverTuning tuning(int64_t portable) {
    ConvolverTuning t;
    t.portableKernels = portable != 0;
    return t;
}

// Arguments: response length in ms, portable kernels (1) or the best (0).
void BM_Convolver(benchmark::State& state) {
    if (!state.range(1) && !corvena::avx2Available()) return state.SkipWithError("no AVX2 here");
    Convolver c;
    c.prepare(response(double(state.range(0)) / 1000.0), block, tuning(state.range(1)));
    const std::vector<float> x = noise(48000);
    std::vector<float> y(block);
    size_t at = 0;
    for (auto _ : state) {
        c.process(x.data() + at, y.data(), block);
        benchmark::DoNotOptimize(y.data());
        at = at + 2 * block <= x.size() ? at + block : 0;
    }
    state.counters["x_realtime"] = benchmark::Counter(double(state.iterations()) * block / rate, benchmark::Counter::kIsRate);
    state.SetLabel(c.describe());
}
BENCHMARK(BM_Convolver)->ArgsProduct({{100, 2000, 10000}, {0, 1}});

// The same after measuring the transforms (FFTW's wisdom), as an application
// that keeps its wisdom would run.
void BM_ConvolverMeasuredTransforms(benchmark::State& state) {
    static const bool measured = (corvena::measureConvolverTransforms(), true);
    (void)measured;
    BM_Convolver(state);
}
BENCHMARK(BM_ConvolverMeasuredTransforms)->ArgsProduct({{2000, 10000}, {0, 1}});

double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Each block timed on its own. The work repeats every 256 blocks at most (the
// period of the largest partition), so each of these 256 phases is timed in
// every iteration and its least cost kept: that strips what other processes on
// the machine add (caches, interrupts) and leaves the cost of the convolver's
// own schedule. Counters: the worst phase, the mean, their ratio, and the worst
// single block seen (with that noise), in microseconds.
void BM_ConvolverBlockSpread(benchmark::State& state) {
    if (!state.range(1) && !corvena::avx2Available()) return state.SkipWithError("no AVX2 here");
    Convolver c;
    c.prepare(response(double(state.range(0)) / 1000.0), block, tuning(state.range(1)));
    const std::vector<float> x = noise(48000);
    std::vector<float> y(block);
    constexpr size_t phases = 256;
    std::vector<double> least(phases, 1e9);
    double raw = 0, sum = 0;
    size_t blocks = 0;
    for (auto _ : state) {
        for (size_t b = 0; b < phases; ++b) {
            const double start = threadSeconds();
            c.process(x.data() + (b * block) % (x.size() - block), y.data(), block);
            const double cost = threadSeconds() - start;
            least[b] = std::min(least[b], cost);
            raw = std::max(raw, cost);
            sum += cost;
        }
        blocks += phases;
    }
    const double worst = *std::max_element(least.begin(), least.end());
    const double mean = sum / double(blocks);
    state.counters["worst_us"] = worst * 1e6;
    state.counters["mean_us"] = mean * 1e6;
    state.counters["worst_per_mean"] = worst / mean;
    state.counters["raw_worst_us"] = raw * 1e6;
    state.SetLabel(c.describe());
}
BENCHMARK(BM_ConvolverBlockSpread)->ArgsProduct({{2000, 10000}, {0, 1}})->Iterations(40)->Unit(benchmark::kMillisecond);

// The control thread's part: planning and transforming the partitions.
void BM_ConvolverPrepare(benchmark::State& state) {
    const std::vector<float> h = response(double(state.range(0)) / 1000.0);
    for (auto _ : state) {
        Convolver c;
        c.prepare(h, block);
        benchmark::DoNotOptimize(c);
    }
}
BENCHMARK(BM_ConvolverPrepare)->Arg(2000)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
