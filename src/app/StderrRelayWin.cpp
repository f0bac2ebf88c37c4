// The relay on Windows. A pipe that refuses writes when full makes the C
// runtime retry forever, so the pipe blocks as usual and a reading thread
// empties it at once into a bounded queue (what does not fit is dropped); a
// second thread collapses repeats and writes to the original stderr, and is
// the only one that waits when nobody reads that.
#include "app/StderrRelay.h"

#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <mutex>
#include <thread>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace corvena {

namespace {

constexpr size_t kQueueLimit = 1 << 20;

HANDLE osHandle(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

void writeAll(HANDLE out, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        DWORD n = 0;
        if (!WriteFile(out, text.data() + done, static_cast<DWORD>(text.size() - done), &n, nullptr) || n == 0)
            return; // the original stderr is gone
        done += n;
    }
}

} // namespace

struct StderrRelay::Queue {
    std::mutex mutex;
    std::condition_variable changed;
    std::string text;         // read from the pipe, not yet written
    bool ended = false;       // the pipe has no writers left
    unsigned flushes = 0;     // drain() requests
    unsigned flushesDone = 0; // requests the writer has answered
};

StderrRelay* StderrRelay::start() {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, nullptr, 1 << 16))
        return nullptr;
    const int readFd = _open_osfhandle(reinterpret_cast<intptr_t>(readEnd), _O_RDONLY | _O_BINARY);
    const int writeFd = _open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_WRONLY | _O_BINARY);
    const int original = _dup(2);
    if (readFd < 0 || writeFd < 0 || original < 0) {
        for (int fd : {readFd, writeFd, original})
            if (fd >= 0)
                _close(fd);
        if (readFd < 0) CloseHandle(readEnd);
        if (writeFd < 0) CloseHandle(writeEnd);
        return nullptr;
    }
    auto* relay = new StderrRelay(); // never freed, as on POSIX
    relay->readFd_ = readFd;
    relay->originalFd_ = original;
    relay->queue_ = new Queue();
    try {
        std::thread([relay] { relay->run(); }).detach();
        std::thread([relay] {
            Queue& q = *relay->queue_;
            const HANDLE out = osHandle(relay->originalFd_);
            RepeatCollapser collapser;
            unsigned flushed = 0;
            for (;;) {
                std::unique_lock<std::mutex> lock(q.mutex);
                auto ready = [&] { return !q.text.empty() || q.ended || q.flushes != flushed; };
                if (collapser.pending())
                    q.changed.wait_until(lock, collapser.due(), ready);
                else
                    q.changed.wait(lock, ready);
                std::string in;
                in.swap(q.text);
                const bool ended = q.ended;
                const unsigned flushes = q.flushes;
                lock.unlock();

                const auto at = RepeatCollapser::Clock::now();
                std::string text = collapser.bytes(in.data(), in.size(), at) + collapser.tick(at);
                if (ended || flushes != flushed)
                    text += collapser.flush();
                writeAll(out, text);
                lock.lock();
                flushed = q.flushesDone = flushes;
                q.changed.notify_all();
                if (ended)
                    return;
            }
        }).detach();
    } catch (...) {
        // A reading thread without a writer would only fill the queue: give up
        // the relay (the pipe's write end closing ends the reader).
        _close(writeFd);
        return nullptr;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    _dup2(writeFd, 2);
    _dup2(writeFd, 1);
    _close(writeFd);
    // Plug-ins may write through the Win32 handles rather than the C runtime.
    SetStdHandle(STD_ERROR_HANDLE, osHandle(2));
    SetStdHandle(STD_OUTPUT_HANDLE, osHandle(1));
    // The C runtime buffers stderr when it is not a console: each write goes out now.
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    return relay;
}

// The reading thread: never waits for anything but the pipe.
void StderrRelay::run() {
    const HANDLE in = osHandle(readFd_);
    char chunk[16384];
    for (;;) {
        DWORD got = 0;
        const bool ok = ReadFile(in, chunk, sizeof chunk, &got, nullptr);
        std::lock_guard<std::mutex> lock(queue_->mutex);
        if (!ok)
            queue_->ended = true;
        else if (queue_->text.size() + got <= kQueueLimit)
            queue_->text.append(chunk, got);
        queue_->changed.notify_all();
        if (!ok)
            return;
    }
}

void StderrRelay::drain(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // What is still in the pipe first, then one flush of everything held back.
    DWORD queued = 0;
    while (PeekNamedPipe(osHandle(readFd_), nullptr, 0, nullptr, &queued, nullptr) && queued > 0 &&
           std::chrono::steady_clock::now() < deadline)
        Sleep(2);
    std::unique_lock<std::mutex> lock(queue_->mutex);
    const unsigned request = ++queue_->flushes;
    queue_->changed.notify_all();
    queue_->changed.wait_until(lock, deadline, [&] { return queue_->flushesDone >= request; });
}

} // namespace corvena
