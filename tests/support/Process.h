#pragma once
#include <chrono>
#include <string>
#include <vector>

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
                     const std::string& log = "");
    ~Process(); // SIGKILL and reap, if still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    int in() const { return in_; }
    int out() const { return out_; }
    int err() const { return err_; }
    void closeIn();
    void closeOut();
    void signal(int number);
    // Exit status, 128 + signal number when killed, -1 while still running after `timeout`.
    int wait(std::chrono::milliseconds timeout);
    bool running() { return wait(std::chrono::milliseconds(0)) == -1; }

private:
    int pid_ = -1, in_ = -1, out_ = -1, err_ = -1, status_ = -1;
};

// A fresh directory under the build directory.
std::string freshTempDir(const std::string& name);

} // namespace corvena::test
