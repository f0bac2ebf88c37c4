#include "support/EngineProcess.h"

#include <cstdlib>
#include <poll.h>
#include <unistd.h>

namespace corvena::test {

namespace {
std::vector<std::string> commandFor(const std::string& binary) {
    const char* engine = binary == CORVENA_AUDIO_BINARY ? std::getenv("CORVENA_TEST_ENGINE") : nullptr;
    const char* launcher = engine ? std::getenv("CORVENA_TEST_LAUNCHER") : nullptr;
    if (!engine) return {binary};
    if (launcher && *launcher) return {launcher, engine};
    return {engine};
}
} // namespace

EngineProcess::EngineProcess(const std::vector<std::string>& env, const std::string& binary)
    : process_(commandFor(binary), env) {
    ready_ = readLine().value_or("");
}

void EngineProcess::writeRaw(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size() && process_.in() >= 0;) {
        const ssize_t n = ::write(process_.in(), bytes.data() + done, bytes.size() - done);
        if (n < 0) return;
        done += static_cast<size_t>(n);
    }
}

std::optional<std::string> EngineProcess::readLine(std::chrono::milliseconds timeout) {
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

// Replies carry "ok", events never do. Events other than level events are
// kept for nextEvent.
bool EngineProcess::keptAsEvent(const std::string& line) {
    if (line.rfind("{\"event\":\"level\"", 0) == 0) return true;
    const json j = json::parse(line, nullptr, false);
    if (!j.is_object() || !j.contains("event") || j.contains("ok")) return false;
    events_.push_back(j);
    return true;
}

std::string EngineProcess::request(const std::string& line) {
    send(line);
    while (auto reply = readLine(20s))
        if (!keptAsEvent(*reply)) return *reply;
    return "<no reply>";
}

json EngineProcess::request(json body) {
    body["id"] = ++lastId_;
    const std::string line = request(body.dump());
    const json reply = json::parse(line, nullptr, false);
    return reply.is_discarded() ? json{{"unparsable", line}} : reply;
}

std::optional<json> EngineProcess::nextEvent(const std::string& name, std::chrono::milliseconds timeout) {
    for (auto it = events_.begin(); it != events_.end(); ++it)
        if (it->value("event", "") == name) {
            json j = std::move(*it);
            events_.erase(it);
            return j;
        }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        auto line = left.count() > 0 ? readLine(left) : std::nullopt;
        if (!line) return std::nullopt;
        json j = json::parse(*line, nullptr, false);
        if (!j.is_object()) continue;
        const std::string event = j.value("event", "");
        if (event == name) return j;
        if (!event.empty() && event != "level") events_.push_back(std::move(j));
    }
}

json EngineProcess::levelAfterReplies() {
    for (int skip = 0; skip < 2; ++skip) nextLevel();
    return nextLevel().value_or(json::object());
}

int EngineProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = -1;
    do {
        stderrText();
        status = process_.wait(std::min<std::chrono::milliseconds>(timeout, 20ms));
    } while (status == -1 && std::chrono::steady_clock::now() < deadline);
    stderrText();
    return status;
}

int EngineProcess::quit() {
    request({{"cmd", "quit"}});
    return wait();
}

const std::string& EngineProcess::stderrText() {
    char chunk[4096];
    for (ssize_t n; readStderr_ && (n = ::read(process_.err(), chunk, sizeof chunk)) > 0;)
        stderr_.append(chunk, static_cast<size_t>(n));
    return stderr_;
}

} // namespace corvena::test
