// Protocol cost seen by a front end: the reply latency of one ping on an idle
// engine, and the throughput of a burst of pings.
#include "support/EngineProcess.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <string>
#include <vector>

using corvena::test::EngineProcess;

static void BM_PingLatencyIdle(benchmark::State& state) {
    EngineProcess p; // past its ready line
    std::vector<double> micros;
    for (auto _ : state) {
        // Let the main loop fall idle first, as between a user's clicks.
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
        state.ResumeTiming();
        const auto t0 = std::chrono::steady_clock::now();
        auto reply = p.request(R"({"id":1,"cmd":"ping"})");
        const auto t1 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(reply);
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros.empty() ? 0.0 : micros[micros.size() / 2];
}
BENCHMARK(BM_PingLatencyIdle)->Iterations(300)->Unit(benchmark::kMicrosecond);

static void BM_PingBurst100k(benchmark::State& state) {
    std::string burst;
    for (int i = 0; i < 100000; ++i) burst += "{\"id\":" + std::to_string(i) + ",\"cmd\":\"ping\"}\n";
    for (auto _ : state) {
        EngineProcess p; // past its ready line
        const auto t0 = std::chrono::steady_clock::now();
        std::thread writer([&] { p.writeRaw(burst); });
        int replies = 0;
        while (replies < 100000 && p.readLine()) ++replies;
        const auto t1 = std::chrono::steady_clock::now();
        writer.join();
        const double seconds = std::chrono::duration<double>(t1 - t0).count();
        state.counters["lines_per_second"] = replies / seconds;
        state.SetIterationTime(seconds);
    }
}
BENCHMARK(BM_PingBurst100k)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
