#include "app/StderrRelay.h"
#include "app/Protocol.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace corvena {

StderrRelay* StderrRelay::start() {
    int pipeFds[2];
    int wakeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return nullptr;
    if (::pipe2(wakeFds, O_CLOEXEC) != 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return nullptr;
    }
    const int original = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    // A roomier pipe drops less of a burst while the relay catches up.
    ::fcntl(pipeFds[1], F_SETPIPE_SZ, 1 << 20);
    ::fcntl(pipeFds[1], F_SETFL, ::fcntl(pipeFds[1], F_GETFL) | O_NONBLOCK);
    auto closeAll = [&] {
        for (int fd : {pipeFds[0], pipeFds[1], wakeFds[0], wakeFds[1], original})
            if (fd >= 0)
                ::close(fd);
    };
    if (original < 0) {
        closeAll();
        return nullptr;
    }

    // Never freed: the detached thread may run until the process ends.
    auto* relay = new StderrRelay();
    relay->readFd_ = pipeFds[0];
    relay->wakeReadFd_ = wakeFds[0];
    relay->wakeWriteFd_ = wakeFds[1];
    relay->originalFd_ = original;
    try {
        std::thread([relay] { relay->run(); }).detach();
    } catch (...) {
        closeAll();
        delete relay;
        return nullptr;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(pipeFds[1], 2);
    ::dup2(pipeFds[1], 1);
    ::close(pipeFds[1]);
    // Plug-ins that print to stdout with stdio reach the relay line by line.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return relay;
}

void StderrRelay::run() {
    RepeatCollapser collapser;
    char chunk[16384];
    for (;;) {
        const auto now = RepeatCollapser::Clock::now();
        int timeoutMs = -1;
        if (collapser.pending()) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(collapser.due() - now).count();
            timeoutMs = ms < 0 ? 0 : static_cast<int>(ms);
        }
        pollfd fds[2] = {{readFd_, POLLIN, 0}, {wakeReadFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready < 0 && errno != EINTR)
            return;
        std::string out;
        const auto at = RepeatCollapser::Clock::now();
        bool ended = false;
        if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::read(readFd_, chunk, sizeof chunk);
            if (n > 0)
                out += collapser.bytes(chunk, static_cast<size_t>(n), at);
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                ended = true;
        }
        out += collapser.tick(at);
        const bool wake = ready > 0 && (fds[1].revents & POLLIN);
        if (wake) {
            char discard[64];
            (void)!::read(wakeReadFd_, discard, sizeof discard);
        }
        if (wake || ended)
            out += collapser.flush();
        writeAll(originalFd_, out.data(), out.size()); // the original stderr may be gone: nothing more to do
        if (wake)
            drained_.fetch_add(1);
        if (ended)
            return;
    }
}

void StderrRelay::drain(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // First let the relay read what is in the pipe, then have it report the
    // repeat counts it holds back and wait until it has written them.
    int queued = 0;
    while (::ioctl(readFd_, FIONREAD, &queued) == 0 && queued > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const unsigned before = drained_.load();
    const char byte = 1;
    if (::write(wakeWriteFd_, &byte, 1) != 1)
        return;
    while (drained_.load() == before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

} // namespace corvena
