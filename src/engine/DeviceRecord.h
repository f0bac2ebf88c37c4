#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace corvena {

// One listed audio device.
struct DeviceRecord {
    uint32_t id = 0;
    std::string name;
    std::string api;
    uint32_t inputChannels = 0;
    uint32_t outputChannels = 0;
    uint32_t preferredSampleRate = 0;
    std::vector<uint32_t> sampleRates;
    bool isDefaultInput = false;
    bool isDefaultOutput = false;
};

} // namespace corvena
