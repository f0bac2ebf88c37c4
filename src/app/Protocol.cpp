#include "app/Protocol.h"
#include "app/Commands.h"
#include "engine/Engine.h"

#include <cerrno>
#include <cmath>
#include <unistd.h>

namespace corvena {

namespace {

int protocolFd = 1;
bool outputFailed = false;

// Replace every byte sequence that is not well-formed UTF-8 by U+FFFD.
std::string repairUtf8(const std::string& in) {
    static const char replacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(in.size());
    const auto* s = reinterpret_cast<const unsigned char*>(in.data());
    const size_t n = in.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        size_t len = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c < 0x80) len = 1;
        else if (c >= 0xC2 && c <= 0xDF) len = 2;
        else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F; // no UTF-16 surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        }
        bool valid = len > 0 && i + len <= n;
        for (size_t k = 1; valid && k < len; ++k) {
            const unsigned char b = s[i + k];
            const unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
            if (b < l || b > h) valid = false;
        }
        if (valid) {
            out.append(in, i, len);
            i += len;
        } else {
            out += replacement;
            ++i;
        }
    }
    return out;
}

json repairStrings(const json& value) {
    if (value.is_string()) return repairUtf8(value.get_ref<const std::string&>());
    if (value.is_array()) {
        json out = json::array();
        for (const auto& v : value) out.push_back(repairStrings(v));
        return out;
    }
    if (value.is_object()) {
        json out = json::object();
        for (auto it = value.begin(); it != value.end(); ++it) out[repairUtf8(it.key())] = repairStrings(it.value());
        return out;
    }
    return value;
}

} // namespace

bool writeAll(int fd, const char* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void setProtocolOutput(int fd) { protocolFd = fd; }

bool protocolOutputFailed() { return outputFailed; }

std::string serializeLine(const json& object) {
    try {
        return object.dump(-1, ' ', false, json::error_handler_t::strict);
    } catch (const json::type_error&) {
        return repairStrings(object).dump(-1, ' ', false, json::error_handler_t::strict);
    }
}

void writeLine(const json& object) {
    if (outputFailed) return;
    // One write per line: the line and its line feed reach the reader together.
    const std::string line = serializeLine(object) + "\n";
    if (!writeAll(protocolFd, line.data(), line.size())) outputFailed = true;
}

void handleRequest(const std::string& line) {
    json request;
    try {
        request = json::parse(line, nullptr, true, false);
    } catch (const json::exception& e) {
        // parse_error, and out_of_range for numbers beyond double (1e999)
        writeLine(json{{"error", std::string("malformed request: ") + e.what()}, {"ok", false}});
        return;
    }

    json id = nullptr;
    if (request.is_object()) {
        auto it = request.find("id");
        if (it != request.end()) id = *it;
    }
    json reply = {{"id", id}, {"ok", true}};
    try {
        // A request must be an object; anything else is answered with the
        // library's own conversion message.
        if (!request.is_object()) (void)request.get<json::object_t>();
        std::string name;
        auto it = request.find("cmd");
        if (it != request.end()) name = it->get<std::string>();
        dispatchCommand(name, request, reply);
    } catch (const json::exception& e) {
        reply = {{"id", id}, {"ok", false}, {"error", e.what()}};
    }
    writeLine(reply);
}

void writeLevelEvent() {
    const uint32_t xruns = engine.takeXrunCount();
    const std::vector<float> peaks = engine.takeInputPeaks();
    const uint32_t channel = engine.selectedInputChannel.load();
    const float out = engine.takeOutputPeak();

    json inputs = json::array();
    for (float p : peaks) inputs.push_back(static_cast<double>(p));
    json event = {{"event", "level"},
                  {"inputs", std::move(inputs)},
                  {"in", channel < peaks.size() ? static_cast<double>(peaks[channel]) : 0.0},
                  {"out", static_cast<double>(out)}};
    if (engine.recording.load()) event["frames"] = engine.framesRecorded.load();
    if (engine.tunerEnabled.load()) {
        const std::optional<TunerReading> reading = engine.takeTunerReading();
        // Hundredths of a cent and thousandths of a hertz are all a display can use
        // (adding 0 turns a rounded -0 into 0).
        event["tuner"] = reading ? json{{"cents", std::round(reading->cents * 100.0) / 100.0 + 0.0},
                                        {"frequency", std::round(reading->frequency * 1000.0) / 1000.0},
                                        {"note", reading->note}}
                                 : json(nullptr);
    }
    if (xruns != 0) event["xruns"] = xruns;
    writeLine(event);
}

void writeReampEvent() {
    const std::optional<ReampReport> report = engine.reamp.poll();
    if (!report) return;
    json event = {{"event", "reamp"}};
    switch (report->kind) {
    case ReampReport::Kind::Progress: event["progress"] = report->progress; break;
    case ReampReport::Kind::Done:
        event["done"] = true;
        event["frames"] = report->frames;
        event["seconds"] = report->seconds;
        event["wetPath"] = report->wetPath;
        event["realtimeFactor"] = report->realtimeFactor;
        break;
    case ReampReport::Kind::Error: event["error"] = report->error; break;
    case ReampReport::Kind::Cancelled: event["cancelled"] = true; break;
    }
    writeLine(event);
}

} // namespace corvena
