#pragma once
#include <cstdint>
#include <string>

namespace corvena {

// Arguments of Engine::open, with the defaults the command layer uses.
struct OpenRequest {
    std::string api;
    uint32_t inputDevice = 0;
    uint32_t outputDevice = 0;
    uint32_t inputChannel = 0;
    uint32_t outputChannel = 0;
    uint32_t sampleRate = 48000;
    uint32_t blockSize = 128;
};

} // namespace corvena
