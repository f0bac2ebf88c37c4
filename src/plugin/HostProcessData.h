#pragma once
#include <cstdint>
#include <vector>

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"

namespace corvena {

// Process data that owns its audio buffers: one AudioBusBuffers entry per audio
// bus the component reports, each channel maxSamples long.
class HostProcessData : public Steinberg::Vst::ProcessData {
public:
    HostProcessData() = default;
    ~HostProcessData();
    HostProcessData(const HostProcessData&) = delete;
    HostProcessData& operator=(const HostProcessData&) = delete;

    // Only 32-bit samples are supported; returns false for anything else or
    // when a bus cannot be described.
    bool prepare(Steinberg::Vst::IComponent& component, int32_t maxSamples, int32_t sampleSize);
    void unprepare();

    // Capacity of every channel, in samples.
    int32_t maxSamples() const { return maxSamples_; }

private:
    std::vector<Steinberg::Vst::AudioBusBuffers> inputBuses_;
    std::vector<Steinberg::Vst::AudioBusBuffers> outputBuses_;
    std::vector<std::vector<float*>> inputChannels_;
    std::vector<std::vector<float*>> outputChannels_;
    std::vector<float> storage_;
    int32_t maxSamples_ = 0;
};

} // namespace corvena
