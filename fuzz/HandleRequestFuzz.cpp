// Any request line gets exactly one reply line, which is valid JSON, and nothing
// crashes. Commands that reach audio servers, load modules or files, or write
// files are left out: they would make the fuzzer talk to the machine instead of
// the protocol (capture files have a fuzzer of their own).
#include "app/Protocol.h"

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {
int replyPipe[2] = {-1, -1};

bool touchesTheMachine(const std::string& line) {
    try {
        auto j = corvena::json::parse(line);
        if (!j.is_object()) return false;
        auto it = j.find("cmd");
        if (it == j.end() || !it->is_string()) return false;
        const auto& cmd = it->get_ref<const std::string&>();
        return cmd == "open" || cmd == "listDevices" || cmd == "vstLoad" || cmd == "vstEditor" || cmd == "reamp" ||
               cmd == "capture" || cmd == "cabinet";
    } catch (...) {
        return false;
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (replyPipe[0] < 0) {
        if (pipe(replyPipe) != 0) std::abort();
        fcntl(replyPipe[0], F_SETFL, O_NONBLOCK);
        fcntl(replyPipe[1], F_SETPIPE_SZ, 1 << 20);
        corvena::setProtocolOutput(replyPipe[1]);
    }
    std::string line(reinterpret_cast<const char*>(data), size);
    if (line.find('\n') != std::string::npos || line.empty() || touchesTheMachine(line)) return 0;

    corvena::handleRequest(line);

    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(replyPipe[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    if (out.empty() || out.back() != '\n' || out.find('\n') != out.size() - 1) std::abort();
    out.pop_back();
    auto reply = corvena::json::parse(out); // throws (and so fails) on an invalid reply
    if (!reply.is_object() || !reply.contains("ok")) std::abort();
    return 0;
}
