#pragma once
#include <cstdint>
#include <string>

namespace corvena {

// Description of the open stream; every number 0 and no API name by default.
struct StreamInfo {
    uint32_t sampleRate = 0;
    uint32_t blockSize = 0;
    uint32_t latencyFrames = 0;
    bool latencyEstimated = false; // the library reported none: the engine's own estimate
    std::string api;
    uint32_t outputChannelCount = 0;
    uint32_t outputChannel = 0;
};

} // namespace corvena
