#include "app/StderrRelay.h"

namespace corvena {

std::string RepeatCollapser::report() {
    std::string out;
    if (repeats_ > 0)
        out = "(repeated " + std::to_string(repeats_) + (repeats_ == 1 ? " time)\n" : " times)\n");
    repeats_ = 0;
    return out;
}

std::string RepeatCollapser::line(const std::string& text, Clock::time_point now) {
    if (haveLast_ && text == last_) {
        if (repeats_++ == 0)
            firstRepeat_ = now;
        return tick(now);
    }
    std::string out = report();
    last_ = text;
    haveLast_ = true;
    return out + text + "\n";
}

std::string RepeatCollapser::tick(Clock::time_point now) {
    // The line stays the one to compare with: a plug-in that complains on
    // every block yields one count a second, not a fresh copy.
    if (repeats_ > 0 && now >= due())
        return report();
    return {};
}

std::string RepeatCollapser::flush() { return report(); }

} // namespace corvena
