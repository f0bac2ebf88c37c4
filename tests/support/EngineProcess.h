#pragma once
#include "support/Process.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace corvena::test {

using json = nlohmann::json;
using namespace std::chrono_literals;

// A running corvena-audio, talked to through pipes as a front end would. The
// engine built for Windows runs the same tests under a launcher
// (CORVENA_TEST_LAUNCHER=wine, CORVENA_TEST_ENGINE=.../corvena-audio.exe).
class EngineProcess {
public:
    // `env`: extra "NAME=value" entries (a JACK server's, for instance).
    explicit EngineProcess(const std::vector<std::string>& env = {}, const std::string& binary = CORVENA_AUDIO_BINARY);
    ~EngineProcess() { // end of input first: the engine winds down by itself
        closeInput();
        process_.wait(5s);
    }

    // The first line it wrote: {"event":"ready",...}.
    const std::string& readyLine() const { return ready_; }
    bool ready() const { return ready_.find("\"ready\"") != std::string::npos; }

    void writeRaw(const std::string& bytes);
    void send(const std::string& line) { writeRaw(line + "\n"); }
    // The next stdout line, or nothing after `timeout` or at end of output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = 10s);
    // Sends `line`; the next line that is not an event ("<no reply>" if none).
    std::string request(const std::string& line);
    std::string request(const char* line) { return request(std::string(line)); }
    // The same with an "id" added; an unparsable reply comes back as {"unparsable": line}.
    json request(json body);
    // The next event of that name, one a request passed over first; other
    // events but level events are kept for later.
    std::optional<json> nextEvent(const std::string& name, std::chrono::milliseconds timeout);
    std::optional<json> nextLevel(std::chrono::milliseconds timeout = 1s) { return nextEvent("level", timeout); }
    // A level event that covers only blocks run after everything answered so far:
    // the peaks of the first event after a reply may predate it, and a block in
    // flight then may still land in the second.
    json levelAfterReplies();

    void closeInput() { process_.closeIn(); }
    void closeOutput() { process_.closeOut(); }
    // Exit status (see Process::wait); stderr is collected meanwhile.
    int wait(std::chrono::milliseconds timeout = 10s);
    int quit();
    // What the engine wrote to stderr so far; nothing, after leaveStderrUnread().
    const std::string& stderrText();
    void leaveStderrUnread() { readStderr_ = false; }

private:
    bool keptAsEvent(const std::string& line);
    Process process_;
    std::deque<json> events_;
    std::string ready_, buffer_, stderr_;
    size_t bufferStart_ = 0;
    bool readStderr_ = true;
    int lastId_ = 0;
};

} // namespace corvena::test
