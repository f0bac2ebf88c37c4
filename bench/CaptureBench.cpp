// Cost of capture networks as a realtime factor: seconds of audio per CPU
// second ("realtime" counter), one 128-frame block at 48 kHz per iteration,
// for each network and each kernel this processor runs.
#include "capture/CaptureFile.h"
#include "capture/CaptureKernels.h"
#include "capture/CaptureModel.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
using namespace corvena;

constexpr double rate = 48000.0;
constexpr int32_t frames = 128;

std::string modelPath(const std::string& name) {
    std::string here = __FILE__; // <source>/bench/CaptureBench.cpp; the models lie beside the source tree
    here = here.substr(0, here.rfind('/'));
    return here.substr(0, here.rfind('/')) + "/../shared/capture/models/" + name + ".nam";
}

void run(benchmark::State& state, const std::string& name, const std::string& kernel) {
    std::string error;
    const auto file = loadCaptureFile(modelPath(name), error);
    if (!file) {
        state.SkipWithError(error.c_str());
        return;
    }
    setenv("CORVENA_CAPTURE_KERNEL", kernel.c_str(), 1);
    const auto model = makeCaptureModel(*file);
    unsetenv("CORVENA_CAPTURE_KERNEL");
    model->prepare(frames);
    std::vector<float> in(frames * 64), out(frames);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = 0.3f * float(std::sin(0.0257 * double(i)) + 0.3 * std::sin(0.0911 * double(i)));
    size_t at = 0;
    for (auto _ : state) {
        model->process(in.data() + at, out.data(), frames);
        benchmark::DoNotOptimize(out.data());
        at = (at + frames) % in.size();
    }
    state.counters["realtime"] = benchmark::Counter(double(state.iterations()) * frames / rate, benchmark::Counter::kIsRate);
}

const bool registered = [] {
    std::vector<std::string> kernels{"portable"};
    if (capture::avx2Kernels()) kernels.push_back("avx2");
    if (capture::avx512Kernels()) kernels.push_back("avx512");
    for (const char* name : {"wavenet_a1_standard", "wavenet", "lstm"})
        for (const std::string& kernel : kernels)
            benchmark::RegisterBenchmark(("BM_Capture/" + std::string(name) + "/" + kernel).c_str(),
                                         [name = std::string(name), kernel](benchmark::State& s) { run(s, name, kernel); });
    return true;
}();

} // namespace

BENCHMARK_MAIN();
