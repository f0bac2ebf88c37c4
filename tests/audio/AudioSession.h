#pragma once
// A corvena-audio process on the binary's private JACK server, with the JSON
// plumbing and signal measures the stream tests share.
#include "support/EngineProcess.h"
#include "support/JackPeer.h"
#include "support/JackServer.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace corvena::test {

using json = nlohmann::json;

class AudioSession {
public:
    // `extraEnv` ("NAME=value") is added to the server's variables.
    explicit AudioSession(const std::vector<std::string>& extraEnv = {})
        : process_(CORVENA_AUDIO_BINARY, withServer(extraEnv)) {
        auto ready = process_.readLine();
        ready_ = ready && ready->find("\"ready\"") != std::string::npos;
    }
    bool ready() const { return ready_; }
    EngineProcess& process() { return process_; }

    // Sends a request (an "id" is added) and returns the reply, skipping level events.
    json request(json body) {
        const std::string line = requestText(std::move(body));
        json reply = json::parse(line, nullptr, false);
        return reply.is_discarded() ? json{{"unparsable", line}} : reply;
    }
    std::string requestText(json body) {
        body["id"] = ++lastId_;
        return process_.request(body.dump());
    }

    // The next level event; nothing when none arrives within `timeout`.
    std::optional<json> nextLevel(std::chrono::milliseconds timeout = std::chrono::milliseconds(1000)) {
        return nextEvent("level", timeout);
    }
    // The next event of that name (also one a request passed over); others but
    // level events are kept for later.
    std::optional<json> nextEvent(const std::string& name, std::chrono::milliseconds timeout) {
        auto& passed = process_.passedEvents();
        for (auto it = passed.begin(); it != passed.end(); ++it) {
            json j = json::parse(*it, nullptr, false);
            if (j.value("event", "") != name) continue;
            passed.erase(it);
            return j;
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            auto line = process_.readLine(left);
            if (!line) return std::nullopt;
            json j = json::parse(*line, nullptr, false);
            const std::string event = j.is_object() ? j.value("event", "") : "";
            if (event == name) return j;
            if (!event.empty() && event != "level") passed.push_back(*line);
        }
    }

    // Skips level events for a while, so later ones cover only what follows.
    void settle(std::chrono::milliseconds duration = std::chrono::milliseconds(200)) {
        const auto until = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < until)
            nextLevel(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()));
    }

    // The first level event after `duration`; an empty object when none came.
    json levelAfter(std::chrono::milliseconds duration) {
        settle(duration);
        return nextLevel().value_or(json::object());
    }

    int quit() {
        request({{"cmd", "quit"}});
        return process_.wait();
    }

private:
    static std::vector<std::string> withServer(std::vector<std::string> env) {
        for (const auto& entry : JackEnvironment::server().environment()) env.push_back(entry);
        return env;
    }
    EngineProcess process_;
    bool ready_ = false;
    int lastId_ = 0;
};

// inputChannelCount, inputChannel, outputChannelCount and outputChannel of an open reply.
inline std::vector<int> channelsOf(const json& reply) {
    return {reply.value("inputChannelCount", -1), reply.value("inputChannel", -1),
            reply.value("outputChannelCount", -1), reply.value("outputChannel", -1)};
}

inline float peakOf(const std::vector<float>& v) {
    return v.empty() ? 0.0f : std::fabs(*std::max_element(v.begin(), v.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); }));
}

// From the rising zero crossings.
inline double frequencyOf(const std::vector<float>& v, double rate = 48000.0) {
    int crossings = 0;
    size_t first = 0, last = 0;
    for (size_t i = 1; i < v.size(); ++i)
        if (v[i - 1] < 0.0f && v[i] >= 0.0f) {
            if (crossings++ == 0) first = i;
            last = i;
        }
    return crossings < 2 ? 0.0 : (crossings - 1) * rate / static_cast<double>(last - first);
}

} // namespace corvena::test
