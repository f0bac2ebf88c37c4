#include "app/MainLoop.h"
#include "app/Protocol.h"
#include "app/StandardStreams.h"
#include "app/StderrRelay.h"
#include "engine/Engine.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

namespace corvena {

std::atomic<bool> running{true};

namespace {

constexpr auto kLevelInterval = std::chrono::milliseconds(50);
constexpr auto kEditorPumpInterval = std::chrono::milliseconds(5);
constexpr auto kReampPollInterval = std::chrono::milliseconds(20);

// Never destroyed: the detached reader may still queue a line while the process
// runs its exit handlers.
std::deque<std::string>& pendingLines = *new std::deque<std::string>;
std::mutex& pendingLinesMutex = *new std::mutex;
std::condition_variable& linesArrived = *new std::condition_variable; // ends an idle wait early
std::atomic<bool> inputClosed{false};

void readInputLines() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        {
            std::lock_guard<std::mutex> lock(pendingLinesMutex);
            pendingLines.push_back(std::move(line));
        }
        linesArrived.notify_one();
        line.clear();
    }
    {
        std::lock_guard<std::mutex> lock(pendingLinesMutex);
        inputClosed.store(true);
    }
    linesArrived.notify_one();
}

// A shut-down that hangs (in a plug-in, say) must not outlive the front end.
// Armed once the loop has stopped answering, so a long queue of lines read
// before the end of input is answered in full however long it takes.
void armForcedExit() {
    try {
        std::thread([] {
            std::this_thread::sleep_for(std::chrono::seconds(5));
            std::_Exit(0);
        }).detach();
    } catch (const std::system_error&) {
        // No guard then; the orderly shut-down still runs.
    }
}

} // namespace

int runProcess(void (*beforeShutdown)()) {
    std::ios_base::sync_with_stdio(false);
    separateProtocolOutput();
    StderrRelay* const relay = StderrRelay::start();

    try {
        std::thread(readInputLines).detach();
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "corvena-audio: cannot start the input reader: %s\n", e.what());
        return 1;
    }

    writeLine(json{{"event", "ready"}, {"version", "0.1.0"}});
    auto lastLevelTime = std::chrono::steady_clock::now();

    while (running.load()) {
        engine.plugin.pumpEditor();
        writeReampEvent();

        std::unique_lock<std::mutex> lock(pendingLinesMutex);
        if (!pendingLines.empty()) {
            std::string line = std::move(pendingLines.front());
            pendingLines.pop_front();
            lock.unlock();
            handleRequest(line);
            if (protocolOutputFailed()) break; // nobody reads us any more: wind down
            continue;
        }
        // Read under the mutex, so a line queued just before the end of input is not lost.
        const bool closed = inputClosed.load();
        lock.unlock();
        if (closed || protocolOutputFailed()) break;

        // Sleep until something is due: a line, the next level event (stream
        // open) or the next editor pump (editor open); otherwise until a line.
        const auto now = std::chrono::steady_clock::now();
        std::optional<std::chrono::steady_clock::time_point> wakeAt;
        if (const std::optional<std::string> failure = engine.checkStream(now))
            writeLine(json{{"event", "streamError"}, {"error", *failure}});
        if (engine.streamOpen.load()) {
            if (now - lastLevelTime >= kLevelInterval) {
                // On the 50 ms grid, so late wake-ups do not stretch the cadence;
                // after a long stall the grid starts again from now.
                lastLevelTime += kLevelInterval;
                if (now - lastLevelTime >= kLevelInterval) lastLevelTime = now;
                writeLevelEvent();
                engine.tone.releaseRetired();
            }
            wakeAt = lastLevelTime + kLevelInterval;
        }
        if (engine.reamp.running()) {
            const auto poll = std::chrono::steady_clock::now() + kReampPollInterval;
            if (!wakeAt || poll < *wakeAt) wakeAt = poll;
        }
        if (engine.plugin.isEditorOpen()) {
            const auto pump = std::chrono::steady_clock::now() + kEditorPumpInterval;
            if (!wakeAt || pump < *wakeAt) wakeAt = pump;
        }

        lock.lock();
        const auto due = [] { return !pendingLines.empty() || inputClosed.load(); };
        if (wakeAt)
            linesArrived.wait_until(lock, *wakeAt, due);
        else
            linesArrived.wait(lock, due);
    }

    armForcedExit();
    engine.reamp.finish(); // nothing half-written stays behind
    if (beforeShutdown) beforeShutdown();
    engine.close();
    if (relay) relay->drain(std::chrono::milliseconds(500));
    return 0;
}

} // namespace corvena
