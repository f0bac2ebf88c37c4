#include "app/StderrRelay.h"

#include <algorithm>

namespace corvena {

namespace {
// Longest partial line held back waiting for its line feed.
constexpr size_t kMaxLine = 4096;
constexpr auto kHold = std::chrono::seconds(1);
} // namespace

std::string RepeatCollapser::report() {
    std::string out;
    if (repeats_ > 0)
        out = "(repeated " + std::to_string(repeats_) + (repeats_ == 1 ? " time)\n" : " times)\n");
    repeats_ = 0;
    return out;
}

std::string RepeatCollapser::reportDue(Clock::time_point now) {
    // The line stays the one to compare with: a plug-in that complains on
    // every block yields one count a second, not a fresh copy.
    return repeats_ > 0 && now >= firstRepeat_ + kHold ? report() : std::string();
}

RepeatCollapser::Clock::time_point RepeatCollapser::due() const {
    if (repeats_ > 0 && !partial_.empty())
        return std::min(firstRepeat_, partialSince_) + kHold;
    return (repeats_ > 0 ? firstRepeat_ : partialSince_) + kHold;
}

std::string RepeatCollapser::bytes(const char* data, size_t size, Clock::time_point now) {
    if (partial_.empty())
        partialSince_ = now;
    partial_.append(data, size);
    std::string out;
    size_t start = 0;
    for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1)
        out += line(partial_.substr(start, nl - start), now);
    partial_.erase(0, start);
    if (start > 0)
        partialSince_ = now;
    if (partial_.size() > kMaxLine)
        out += partialLine(now);
    return out;
}

std::string RepeatCollapser::line(const std::string& text, Clock::time_point now) {
    if (haveLast_ && text == last_) {
        if (repeats_++ == 0)
            firstRepeat_ = now;
        return reportDue(now);
    }
    std::string out = report();
    last_ = text;
    haveLast_ = true;
    return out + text + "\n";
}

std::string RepeatCollapser::tick(Clock::time_point now) {
    std::string out;
    if (!partial_.empty() && now >= partialSince_ + kHold)
        out = partialLine(now);
    return out + reportDue(now);
}

std::string RepeatCollapser::flush() {
    std::string out;
    if (!partial_.empty())
        out = partialLine(Clock::now());
    return out + report();
}

std::string RepeatCollapser::partialLine(Clock::time_point now) {
    std::string text;
    text.swap(partial_);
    return line(text, now);
}

} // namespace corvena
