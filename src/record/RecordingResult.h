#pragma once
#include <cstdint>
#include <string>

namespace corvena {

// What stopping a recording reports.
struct RecordingResult {
    uint64_t frames = 0;
    double seconds = 0.0;
    std::string diPath;
    std::string wetPath;
};

} // namespace corvena
