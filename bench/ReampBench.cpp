// Re-amping speed as a realtime factor: a 60-second DI rendered to a file
// through Drive (and through each capture given as an argument-free default),
// "realtime" = seconds of audio per second of rendering, file reading and
// writing included.
#include "reamp/ReampRender.h"

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {
using namespace corvena;

const std::string diPath = "/tmp/corvena-reamp-bench-di.wav";
const std::string wetPath = "/tmp/corvena-reamp-bench-wet.wav";
constexpr double seconds = 60.0;

void writeDi() {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    std::vector<float> v(static_cast<size_t>(48000 * seconds));
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = 0.3f * static_cast<float>(std::sin(0.0257 * double(i)) * std::exp(-double(i % 24000) / 9000.0));
    SNDFILE* f = sf_open(diPath.c_str(), SFM_WRITE, &info);
    sf_writef_float(f, v.data(), static_cast<sf_count_t>(v.size()));
    sf_close(f);
}

void render(benchmark::State& state, AmpSettings settings, const std::string& capture) {
    writeDi();
    ToneChain live(settings);
    if (!capture.empty()) {
        CaptureReport report;
        std::string error;
        if (!live.loadCapture(capture, report, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    ReampTone tone;
    tone.tone = &live;
    tone.settings = settings;
    ReampRender render;
    double factor = 0;
    for (auto _ : state) {
        uint64_t frames = 0;
        double length = 0;
        std::string error;
        if (!render.start(diPath, wetPath, 0, tone, frames, length, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        std::optional<ReampReport> report;
        while (!(report = render.poll()) || report->kind == ReampReport::Kind::Progress)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        factor = report->realtimeFactor;
    }
    state.counters["realtime"] = factor;
    std::remove(wetPath.c_str());
}

void BM_ReampDrive(benchmark::State& state) { render(state, AmpSettings{}, ""); }
BENCHMARK(BM_ReampDrive)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_ReampCapture(benchmark::State& state) {
    AmpSettings s;
    s.model = AmpModel::Capture;
    static const char* const models[] = {"wavenet_a1_standard.nam", "wavenet.nam", "lstm.nam"};
    state.SetLabel(models[state.range(0)]);
    render(state, s, std::string(CORVENA_SOURCE_DIR "/../shared/capture/models/") + models[state.range(0)]);
}
BENCHMARK(BM_ReampCapture)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
