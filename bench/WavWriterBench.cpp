// Disk-writer throughput: float-to-24-bit conversion plus the write call, in
// the writer's own chunk size. Reported as frames per second and as a
// realtime factor against one 48 kHz mono signal.
#include "record/DrainRing.h"
#include "record/SampleRing.h"
#include "record/WavWriter.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int32_t chunk = 8192;
constexpr double rate = 48000.0;

std::vector<float> testSignal() {
    std::vector<float> v(chunk);
    for (int32_t i = 0; i < chunk; ++i) v[i] = 0.8f * std::sin(0.013f * static_cast<float>(i));
    return v;
}

void report(benchmark::State& state, int64_t frames) {
    state.SetItemsProcessed(frames);
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["realtime_factor"] =
        benchmark::Counter(static_cast<double>(frames) / rate, benchmark::Counter::kIsRate);
}

// Conversion and write into a file that is reopened every 100 MB or so.
void WriteSamplesToFile(benchmark::State& state, const char* path) {
    const auto signal = testSignal();
    corvena::WavWriter writer;
    if (!writer.open(path, 48000, 1)) {
        state.SkipWithError("cannot open the output file");
        return;
    }
    int64_t frames = 0, sinceOpen = 0;
    for (auto _ : state) {
        writer.writeSamples(signal.data(), chunk);
        frames += chunk;
        if ((sinceOpen += chunk) > 32 * 1024 * 1024) {
            state.PauseTiming();
            writer.open(path, 48000, 1);
            sinceOpen = 0;
            state.ResumeTiming();
        }
    }
    writer.finalize();
    std::remove(path);
    report(state, frames);
}
BENCHMARK_CAPTURE(WriteSamplesToFile, tmp_file, "/tmp/corvena-bench-writer.wav");

void WriteSamplesToDevNull(benchmark::State& state) {
    const auto signal = testSignal();
    corvena::WavWriter writer;
    if (!writer.open("/dev/null", 48000, 1)) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    int64_t frames = 0;
    for (auto _ : state) {
        writer.writeSamples(signal.data(), chunk);
        frames += chunk;
    }
    report(state, frames);
}
BENCHMARK(WriteSamplesToDevNull);

// The writer thread's whole path: pop from a ring, convert, write.
void DrainRingToDevNull(benchmark::State& state) {
    const auto signal = testSignal();
    corvena::SampleRing ring;
    ring.resize(4 * 48000 + 1);
    corvena::WavWriter writer;
    writer.open("/dev/null", 48000, 1);
    std::vector<float> scratch(chunk);
    int64_t frames = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 4; ++i) ring.push(signal.data(), chunk);
        state.ResumeTiming();
        corvena::drainRing(ring, writer, scratch);
        frames += 4 * chunk;
    }
    report(state, frames);
}
BENCHMARK(DrainRingToDevNull);

} // namespace

BENCHMARK_MAIN();
