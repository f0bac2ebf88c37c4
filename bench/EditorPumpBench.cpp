// Cost of the editor pump that the main loop runs at the start of every turn
// (control thread, not audio). The counter turnShare is the fraction of one
// 5 ms idle turn that one pump takes.
#include "plugin/PluginSlot.h"
#include "plugin/RunLoop.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <vector>

namespace {

constexpr double kTurnSeconds = 0.005;

template <class Interface>
class Handler : public Interface {
public:
    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID, void** obj) override {
        *obj = nullptr;
        return Steinberg::kNoInterface;
    }
    Steinberg::uint32 PLUGIN_API addRef() override { return ++refs; }
    Steinberg::uint32 PLUGIN_API release() override { return --refs; }
    std::atomic<Steinberg::uint32> refs{1};
};

struct Timer : Handler<Steinberg::Linux::ITimerHandler> {
    void PLUGIN_API onTimer() override { ++calls; }
    long calls = 0;
};

struct FdHandler : Handler<Steinberg::Linux::IEventHandler> {
    void PLUGIN_API onFDIsSet(int) override {}
};

void reportTurnShare(benchmark::State& state, std::chrono::steady_clock::duration spent) {
    double perPump = std::chrono::duration<double>(spent).count() / static_cast<double>(state.iterations());
    state.counters["turnShare"] = perPump / kTurnSeconds;
}

// No editor open: the pump must cost next to nothing.
void BM_PumpEditorClosed(benchmark::State& state) {
    corvena::PluginSlot slot;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) slot.pumpEditor();
    reportTurnShare(state, std::chrono::steady_clock::now() - start);
}
BENCHMARK(BM_PumpEditorClosed);

// A view's run loop on a turn where nothing is due: a typical view registers one
// timer and one descriptor; measured here with several of each.
void BM_RunLoopIdleService(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    corvena::RunLoop loop;
    std::vector<Timer> timers(n);
    std::vector<FdHandler> handlers(n);
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        int p[2];
        if (pipe(p) != 0) {
            state.SkipWithError("pipe failed");
            return;
        }
        fds.push_back(p[0]);
        fds.push_back(p[1]);
        loop.registerTimer(&timers[i], 1000000);
        loop.registerEventHandler(&handlers[i], p[0]);
    }
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) loop.service();
    reportTurnShare(state, std::chrono::steady_clock::now() - start);
    loop.clear();
    for (int fd : fds) close(fd);
}
BENCHMARK(BM_RunLoopIdleService)->Arg(1)->Arg(8);

} // namespace

BENCHMARK_MAIN();
