#pragma once
#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace corvena::test {

// A running corvena-audio process, talked to through pipes as a front end would.
class EngineProcess {
public:
    // Starts `binary` (default: the engine built with the tests). Extra environment
    // entries ("NAME=value") are added to the child's environment.
    explicit EngineProcess(const std::string& binary = CORVENA_AUDIO_BINARY,
                           const std::vector<std::string>& extraEnv = {});
    ~EngineProcess();
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    // Writes raw bytes to the engine's stdin.
    void writeRaw(const std::string& bytes);
    // Writes one line (a line feed is appended).
    void send(const std::string& line) { writeRaw(line + "\n"); }
    // Closes the engine's stdin (end of input).
    void closeInput();
    // Closes our reading end of the engine's stdout.
    void closeOutput();

    // Next stdout line (without its line feed), or nothing after `timeout`/at end of output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Next line that is not an event; events other than level events are kept
    // in passedEvents().
    std::optional<std::string> readReply(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends `line` and returns the next non-event line.
    std::string request(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // Waits for the process to end; returns its exit status, or -1 on timeout,
    // or 128 + signal number when it was killed by a signal.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    int pid() const { return pid_; }
    // Everything the engine wrote to stderr so far (collected on wait() and
    // collectStderr(); never, after leaveStderrUnread(), as a front end that
    // never reads it).
    const std::string& stderrText() const { return stderr_; }
    const std::string& collectStderr();
    void leaveStderrUnread() { readStderr_ = false; }
    // Events (streamError, …) that readReply passed over, oldest first.
    std::deque<std::string>& passedEvents() { return events_; }
    // Times the engine's main thread went to sleep (its voluntary context switches).
    long mainThreadWakeups() const;

private:
    bool fill(std::chrono::milliseconds timeout);
    int pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool exited_ = false;
    int status_ = -1;
    bool readStderr_ = true;
    std::string buffer_;
    size_t bufferStart_ = 0; // consumed bytes at the front of buffer_
    std::string stderr_;
    std::deque<std::string> events_;
};

// Directory for a test's files, created fresh under the build directory.
std::string freshTempDir(const std::string& name);

} // namespace corvena::test
