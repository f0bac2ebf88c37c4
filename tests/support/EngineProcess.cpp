#include "support/EngineProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvena::test {

namespace {
void drainFd(int fd, std::string& into) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) { into.append(buf, static_cast<size_t>(n)); continue; }
        break;
    }
}
} // namespace

EngineProcess::EngineProcess(const std::string& binary, const std::vector<std::string>& extraEnv) {
    std::signal(SIGPIPE, SIG_IGN);
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe(inPipe) != 0 || pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
    // An extra entry replaces an inherited one of the same name (getenv takes the first).
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const auto& extra : extraEnv) replaced = replaced || nameOf(extra) == nameOf(*e);
        if (!replaced) env.emplace_back(*e);
    }
    for (const auto& e : extraEnv) env.push_back(e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    // The engine built for Windows runs the same tests under a launcher
    // (CORVENA_TEST_LAUNCHER=wine, CORVENA_TEST_ENGINE=.../corvena-audio.exe).
    const char* engine = binary == CORVENA_AUDIO_BINARY ? std::getenv("CORVENA_TEST_ENGINE") : nullptr;
    const char* launcher = engine ? std::getenv("CORVENA_TEST_LAUNCHER") : nullptr;
    std::vector<char*> argv;
    if (launcher && *launcher)
        argv.push_back(const_cast<char*>(launcher));
    argv.push_back(const_cast<char*>(engine ? engine : binary.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) ::close(fd);
        if (argv[0][0] == '/')
            execve(argv[0], argv.data(), envp.data());
        else
            execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    in_ = inPipe[1];
    out_ = outPipe[0];
    err_ = errPipe[0];
    fcntl(err_, F_SETFL, O_NONBLOCK);
}

EngineProcess::~EngineProcess() {
    if (!exited_ && pid_ > 0) {
        closeInput();
        if (wait(std::chrono::seconds(8)) == -1) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    for (int fd : {in_, out_, err_})
        if (fd >= 0) ::close(fd);
}

void EngineProcess::writeRaw(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size() && in_ >= 0) {
        ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void EngineProcess::closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

void EngineProcess::closeOutput() {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
}

bool EngineProcess::fill(std::chrono::milliseconds timeout) {
    if (out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(timeout.count()));
    if (r <= 0) return false;
    char buf[65536];
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<size_t>(n));
    return true;
}

std::optional<std::string> EngineProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto pos = buffer_.find('\n', bufferStart_);
        if (pos != std::string::npos) {
            std::string line = buffer_.substr(bufferStart_, pos - bufferStart_);
            bufferStart_ = pos + 1;
            // Consumed bytes are dropped in one go, not line by line (bursts of a million lines).
            if (bufferStart_ > (1u << 20) || bufferStart_ == buffer_.size()) {
                buffer_.erase(0, bufferStart_);
                bufferStart_ = 0;
            }
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !fill(left)) return std::nullopt;
    }
}

std::optional<std::string> EngineProcess::readReply(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        auto line = readLine(left);
        if (!line) return std::nullopt;
        if (line->rfind("{\"event\":\"level\"", 0) == 0) continue;
        // Replies carry "ok", events never do.
        const auto parsed = nlohmann::json::parse(*line, nullptr, false);
        if (parsed.is_object() && parsed.contains("event") && !parsed.contains("ok")) {
            events_.push_back(*line);
            continue;
        }
        return line;
    }
}

std::string EngineProcess::request(const std::string& line, std::chrono::milliseconds timeout) {
    send(line);
    auto reply = readReply(timeout);
    return reply ? *reply : std::string("<no reply>");
}

const std::string& EngineProcess::collectStderr() {
    if (readStderr_) drainFd(err_, stderr_);
    return stderr_;
}

long EngineProcess::mainThreadWakeups() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/status");
    long total = 0;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total = std::stol(line.substr(line.find(':') + 1));
    return total;
}

int EngineProcess::wait(std::chrono::milliseconds timeout) {
    if (exited_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        collectStderr();
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            collectStderr();
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        usleep(10000);
    }
}

std::string freshTempDir(const std::string& name) {
    std::string dir = std::string(CORVENA_BINARY_DIR) + "/test-tmp/" + name + "-" + std::to_string(getpid());
    std::string cmd = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot create " + dir);
    return dir;
}

} // namespace corvena::test
