#include "support/Process.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace corvena::test {

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& log) {
    std::signal(SIGPIPE, SIG_IGN);
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const auto& extra : env) replaced = replaced || nameOf(extra) == nameOf(*e);
        if (!replaced) entries.emplace_back(*e);
    }
    entries.insert(entries.end(), env.begin(), env.end());
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (auto& e : entries) envp.push_back(e.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);

    int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    if (log.empty())
        for (auto& p : pipes)
            if (pipe(p) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        if (log.empty()) {
            dup2(pipes[0][0], 0);
            dup2(pipes[1][1], 1);
            dup2(pipes[2][1], 2);
            for (auto& p : pipes) ::close(p[0]), ::close(p[1]);
        } else {
            const int file = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(::open("/dev/null", O_RDONLY), 0);
            dup2(file, 1);
            dup2(file, 2);
            setpgid(0, 0);
        }
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (!log.empty()) return;
    ::close(pipes[0][0]);
    ::close(pipes[1][1]);
    ::close(pipes[2][1]);
    in_ = pipes[0][1];
    out_ = pipes[1][0];
    err_ = pipes[2][0];
    fcntl(err_, F_SETFL, O_NONBLOCK);
}

Process::~Process() {
    if (running()) {
        signal(SIGKILL);
        wait(std::chrono::seconds(10));
    }
    for (int fd : {in_, out_, err_})
        if (fd >= 0) ::close(fd);
}

void Process::closeIn() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

void Process::closeOut() {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
}

void Process::signal(int number) {
    if (status_ == -1) ::kill(pid_, number);
}

int Process::wait(std::chrono::milliseconds timeout) {
    for (auto end = std::chrono::steady_clock::now() + timeout; status_ == -1;) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_)
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        else if (std::chrono::steady_clock::now() >= end)
            break;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

std::string freshTempDir(const std::string& name) {
    const std::string dir = std::string(CORVENA_BINARY_DIR) + "/test-tmp/" + name + "-" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

} // namespace corvena::test
