#pragma once
#include "support/Process.h"

#include <nlohmann/json.hpp>
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvena::test {

using json = nlohmann::json;
using namespace std::chrono_literals;

inline bool ok(const json& reply) { return reply.value("ok", false); }

// A running corvena-audio, talked to through pipes as a front end would. The
// engine built for Windows runs the same tests under a launcher
// (CORVENA_TEST_LAUNCHER=wine, CORVENA_TEST_ENGINE=.../corvena-audio.exe).
class EngineProcess {
public:
    // `env`: extra "NAME=value" entries (a JACK server's, for instance).
    explicit EngineProcess(const std::vector<std::string>& env = {}, const std::string& binary = CORVENA_AUDIO_BINARY)
        : process_(commandFor(binary), env) {
        ready_ = readLine().value_or("");
    }
    ~EngineProcess() { // end of input first: the engine winds down by itself
        closeInput();
        process_.wait(5s);
    }

    // The first line it wrote: {"event":"ready",...}.
    const std::string& readyLine() const { return ready_; }
    bool ready() const { return ready_.find("\"ready\"") != std::string::npos; }

    void writeRaw(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size() && process_.in() >= 0;) {
            const ssize_t n = ::write(process_.in(), bytes.data() + done, bytes.size() - done);
            if (n < 0) return;
            done += static_cast<size_t>(n);
        }
    }
    void send(const std::string& line) { writeRaw(line + "\n"); }
    // The next stdout line, or nothing after `timeout` or at end of output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto end = buffer_.find('\n', bufferStart_);
            if (end != std::string::npos) {
                std::string line = buffer_.substr(bufferStart_, end - bufferStart_);
                bufferStart_ = end + 1;
                if (bufferStart_ > (1u << 20) || bufferStart_ == buffer_.size()) { // dropped in one go, not line by line
                    buffer_.erase(0, bufferStart_);
                    bufferStart_ = 0;
                }
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{process_.out(), POLLIN, 0};
            char chunk[65536];
            if (p.fd < 0 || left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
            const ssize_t n = ::read(p.fd, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    // Sends `line`; the next line that is not an event ("<no reply>" if none).
    // Replies carry "ok", events never do; events but level events are kept for nextEvent.
    std::string request(const std::string& line) {
        send(line);
        return readUntil([](const json& j) { return !j.is_object() || !j.contains("event") || j.contains("ok"); }, 20s)
            .value_or("<no reply>");
    }
    std::string request(const char* line) { return request(std::string(line)); }
    // The same with an "id" added; an unparsable reply comes back as {"unparsable": line}.
    json request(json body) {
        body["id"] = ++lastId_;
        const std::string line = request(body.dump());
        const json reply = json::parse(line, nullptr, false);
        return reply.is_discarded() ? json{{"unparsable", line}} : reply;
    }
    // The next event of that name, one a request passed over first.
    std::optional<json> nextEvent(const std::string& name, std::chrono::milliseconds timeout) {
        for (auto it = events_.begin(); it != events_.end(); ++it)
            if (it->value("event", "") == name) {
                json j = std::move(*it);
                events_.erase(it);
                return j;
            }
        const auto line = readUntil([&](const json& j) { return j.is_object() && j.value("event", "") == name; }, timeout);
        return line ? std::optional<json>(json::parse(*line)) : std::nullopt;
    }
    std::optional<json> nextLevel(std::chrono::milliseconds timeout = 1s) { return nextEvent("level", timeout); }
    // A level event that covers only blocks run after everything answered so far:
    // the peaks of the first event after a reply may predate it, and a block in
    // flight then may still land in the second.
    json levelAfterReplies() {
        for (int skip = 0; skip < 2; ++skip) nextLevel();
        return nextLevel().value_or(json::object());
    }

    void closeInput() { process_.closeIn(); }
    void closeOutput() { process_.closeOut(); }
    // Exit status (see Process::wait); stderr is collected meanwhile.
    int wait(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = -1;
        do {
            stderrText();
            status = process_.wait(std::min<std::chrono::milliseconds>(timeout, 20ms));
        } while (status == -1 && std::chrono::steady_clock::now() < deadline);
        stderrText();
        return status;
    }
    int quit() {
        request({{"cmd", "quit"}});
        return wait();
    }
    // What the engine wrote to stderr so far; nothing, after leaveStderrUnread().
    const std::string& stderrText() {
        char chunk[4096];
        for (ssize_t n; readStderr_ && (n = ::read(process_.err(), chunk, sizeof chunk)) > 0;)
            stderr_.append(chunk, static_cast<size_t>(n));
        return stderr_;
    }
    void leaveStderrUnread() { readStderr_ = false; }

private:
    // Reads lines until one is `wanted`; the events passed over but level events are kept.
    std::optional<std::string> readUntil(const std::function<bool(const json&)>& wanted, std::chrono::milliseconds timeout) {
        for (const auto deadline = std::chrono::steady_clock::now() + timeout;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            auto line = left.count() > 0 ? readLine(left) : std::nullopt;
            if (!line) return std::nullopt;
            json j = json::parse(*line, nullptr, false);
            if (wanted(j)) return line;
            if (j.is_object() && j.value("event", "level") != "level") events_.push_back(std::move(j));
        }
    }
    // The engine built for Windows runs under its launcher, when the environment names one.
    static std::vector<std::string> commandFor(const std::string& binary) {
        const char* engine = binary == CORVENA_AUDIO_BINARY ? std::getenv("CORVENA_TEST_ENGINE") : nullptr;
        const char* launcher = engine ? std::getenv("CORVENA_TEST_LAUNCHER") : nullptr;
        if (!engine) return {binary};
        if (launcher && *launcher) return {launcher, engine};
        return {engine};
    }

    Process process_;
    std::deque<json> events_;
    std::string ready_, buffer_, stderr_;
    size_t bufferStart_ = 0;
    bool readStderr_ = true;
    int lastId_ = 0;
};

} // namespace corvena::test
