#pragma once
#include <atomic>
#include <chrono>
#include <string>

namespace corvena {

// Cuts a byte stream into lines and collapses back-to-back repeats of one
// line: the first copy passes, the repeats are counted and reported as
// "(repeated N times)" when another line arrives or a second has passed. A
// partial line waits for its line feed at most a second or 4096 bytes. Pure
// text handling, no I/O.
class RepeatCollapser {
public:
    using Clock = std::chrono::steady_clock;

    // Bytes that arrived at `now`; returns the text to write, possibly empty.
    std::string bytes(const char* data, size_t size, Clock::time_point now);
    // One whole line (without its line feed) arrived at `now`; returns the
    // text to write (each line with its line feed), possibly empty.
    std::string line(const std::string& text, Clock::time_point now);
    // Time passed without input: what has waited a second goes out.
    std::string tick(Clock::time_point now);
    // Everything still held back (at the end of the stream).
    std::string flush();
    // When tick() next has something to say, if anything is held back.
    bool pending() const { return repeats_ > 0 || !partial_.empty(); }
    Clock::time_point due() const;

private:
    std::string report();
    std::string reportDue(Clock::time_point now);
    // The held-back partial line, passed on as a whole line.
    std::string partialLine(Clock::time_point now);
    std::string last_;
    bool haveLast_ = false;
    unsigned long repeats_ = 0;
    Clock::time_point firstRepeat_{};
    std::string partial_;
    Clock::time_point partialSince_{};
};

// Makes the process's standard error (and descriptor 1, which the protocol no
// longer uses; on Windows also the standard handles) a pipe of the engine's
// own that never holds its writers up: what does not fit is dropped (on POSIX
// the write end is non-blocking; on Windows a thread empties the pipe into a
// bounded queue). The original standard error gets the text, repeats
// collapsed; if nobody reads it, only the relay's own thread waits.
class StderrRelay {
public:
    // Null (and nothing changed) when the pipe or the thread cannot be made.
    // The relay lives as long as the process: its thread is never joined.
    static StderrRelay* start();

    // Gives the relay up to `timeout` to pass on what is already in the pipe,
    // held-back repeat counts included (at exit).
    void drain(std::chrono::milliseconds timeout);

private:
    StderrRelay() = default;
    void run();
    int readFd_ = -1;
    int wakeReadFd_ = -1;
    int wakeWriteFd_ = -1;
    int originalFd_ = -1;
    std::atomic<unsigned> drained_{0};
    struct Queue; // Windows: what the reading thread hands the writing one
    Queue* queue_ = nullptr;
};

} // namespace corvena
