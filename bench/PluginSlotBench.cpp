// The plug-in slot's own cost per block around a pass-through plug-in (the
// project's test gain at unity): try-lock, edit transfer, copy in, copy out.
// The same plug-in called directly through the hosting layer gives the part
// that is the plug-in's own. Figures are reported as a realtime factor: time
// per block divided by the block's duration at 48 kHz.
//
// The test plug-in is looked up in this binary's build tree
// (<build>/tests/plugins/CorvenaGain.vst3): build the tests first.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "../tests/plugins/TestPluginProbe.h"
#include "plugin/HostProcessData.h"
#include "plugin/Module.h"
#include "plugin/ParameterChanges.h"
#include "plugin/PlugProvider.h"
#include "plugin/PluginSlot.h"

#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "public.sdk/source/vst/hosting/hostclasses.h"

using namespace corvena;
using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

constexpr double kRate = 48000.0;

std::string buildDir() {
    char exe[PATH_MAX] = {};
    const ssize_t len = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = len > 0 ? std::string(exe, static_cast<size_t>(len)) : std::string();
    dir = dir.substr(0, dir.find_last_of('/')); // <build>/bench
    return dir.substr(0, dir.find_last_of('/'));
}

std::string gainBundle() { return buildDir() + "/tests/plugins/CorvenaGain.vst3"; }

void reportRealtimeFactor(benchmark::State& state, std::chrono::steady_clock::duration elapsed, int frames) {
    const double perBlock = std::chrono::duration<double>(elapsed).count() / static_cast<double>(state.iterations());
    state.counters["realtime_factor"] = perBlock / (frames / kRate);
    state.counters["ns_per_block"] = perBlock * 1e9;
}

std::vector<float> testInput(int frames) {
    std::vector<float> in(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i)
        in[static_cast<size_t>(i)] = 0.25f * static_cast<float>(i % 97) / 97.0f;
    return in;
}

// The slot's process step; with range(1) > 0 that many parameters are edited
// through the slot's component handler before every block (the handler's
// queueing is then part of the time).
void BM_SlotProcess(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    const int edits = static_cast<int>(state.range(1));
    PluginSlot slot;
    slot.prepare(kRate, frames);
    std::string error;
    if (!slot.load(gainBundle(), error)) {
        state.SkipWithError(("cannot load the test plug-in: " + error).c_str());
        return;
    }
    const std::string lib = gainBundle() + "/Contents/x86_64-linux/CorvenaGain.so";
    void* module = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD);
    auto probeFn = module ? reinterpret_cast<testplugin::ProbeFn>(::dlsym(module, "corvenaTestProbe")) : nullptr;
    IComponentHandler* handler = probeFn ? probeFn()->handler.load() : nullptr;
    if (edits > 0 && !handler) {
        state.SkipWithError("no component handler");
        return;
    }
    std::vector<float> in = testInput(frames), left(in.size()), right(in.size());
    // A first block with every parameter sizes the change queues.
    for (int p = 0; p < edits; ++p)
        handler->performEdit(static_cast<ParamID>(100 + p), 0.5);
    slot.process(in.data(), left.data(), right.data(), frames);

    double value = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (int p = 0; p < edits; ++p)
            handler->performEdit(static_cast<ParamID>(100 + p), value);
        value = value > 0.9 ? 0.0 : value + 0.01;
        benchmark::DoNotOptimize(slot.process(in.data(), left.data(), right.data(), frames));
        benchmark::ClobberMemory();
    }
    reportRealtimeFactor(state, std::chrono::steady_clock::now() - start, frames);
    if (module)
        ::dlclose(module);
}
BENCHMARK(BM_SlotProcess)->ArgsProduct({{64, 128, 256, 512}, {0}})->ArgsProduct({{128}, {1, 8, 64}});

// The same plug-in's process call alone, through the hosting layer.
void BM_PluginDirect(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    static HostApplication host;
    PluginContextFactory::instance().setPluginContext(&host);
    std::string error;
    Module::Ptr module = Module::create(gainBundle(), error);
    if (!module) {
        state.SkipWithError("cannot load the test plug-in");
        return;
    }
    ClassInfo audio;
    for (const ClassInfo& info : module->getFactory().classInfos())
        if (info.category == "Audio Module Class")
            audio = info;
    PlugProvider provider(module->getFactory(), audio, true);
    if (!provider.initialize()) {
        state.SkipWithError("provider failed");
        return;
    }
    IPtr<IComponent> component = provider.getComponent();
    void* obj = nullptr;
    component->queryInterface(IAudioProcessor::iid, &obj);
    IPtr<IAudioProcessor> processor(static_cast<IAudioProcessor*>(obj), false);
    SpeakerArrangement in = SpeakerArr::kMono, out = SpeakerArr::kStereo;
    processor->setBusArrangements(&in, 1, &out, 1);
    ProcessSetup setup{kRealtime, kSample32, frames, kRate};
    processor->setupProcessing(setup);
    HostProcessData data;
    ParameterChanges changes;
    data.inputParameterChanges = &changes;
    data.prepare(*component, frames, kSample32);
    data.processMode = kRealtime;
    data.numSamples = frames;
    component->setActive(true);
    processor->setProcessing(true);

    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        benchmark::DoNotOptimize(processor->process(data));
        benchmark::ClobberMemory();
    }
    reportRealtimeFactor(state, std::chrono::steady_clock::now() - start, frames);
    processor->setProcessing(false);
    component->setActive(false);
    data.unprepare();
}
BENCHMARK(BM_PluginDirect)->Arg(64)->Arg(128)->Arg(256)->Arg(512);

} // namespace

BENCHMARK_MAIN();
