#pragma once
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace corvena::test {

// A child process: the tests' one spawner (the engine, jackd, Xvfb).
class Process {
public:
    // argv[0] is looked up in PATH unless it holds a '/'. `env` entries
    // ("NAME=value") replace or add to this process's environment. With `log`
    // empty, the child's standard streams are pipes (in(), out(), err());
    // otherwise stdin is /dev/null and stdout and stderr go to that file, and
    // the child leads a process group of its own (a server the test stops itself).
    explicit Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     const std::string& log = "") {
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
                for (int fd = 0; fd < 3; ++fd) dup2(pipes[fd][fd == 0 ? 0 : 1], fd);
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
        for (int fd = 0; fd < 3; ++fd) ::close(pipes[fd][fd == 0 ? 0 : 1]);
        in_ = pipes[0][1];
        out_ = pipes[1][0];
        err_ = pipes[2][0];
        fcntl(err_, F_SETFL, O_NONBLOCK);
    }
    ~Process() { // SIGKILL and reap, if still running
        if (running()) signal(SIGKILL), wait(std::chrono::seconds(10));
        for (int fd : {in_, out_, err_})
            if (fd >= 0) ::close(fd);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    int in() const { return in_; }
    int out() const { return out_; }
    int err() const { return err_; }
    void closeIn() { closeFd(in_); }
    void closeOut() { closeFd(out_); }
    void signal(int number) {
        if (status_ == -1) ::kill(pid_, number);
    }
    // Exit status, 128 + signal number when killed, -1 while still running after `timeout`.
    int wait(std::chrono::milliseconds timeout) {
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
    bool running() { return wait(std::chrono::milliseconds(0)) == -1; }

private:
    static void closeFd(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int pid_ = -1, in_ = -1, out_ = -1, err_ = -1, status_ = -1;
};

// A fresh directory under the build directory.
inline std::string freshTempDir(const std::string& name) {
    const std::string dir = std::string(CORVENA_BINARY_DIR) + "/test-tmp/" + name + "-" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

} // namespace corvena::test
