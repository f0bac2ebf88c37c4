#include "plugin/HostProcessData.h"

#include <algorithm>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace corvena {

HostProcessData::~HostProcessData() { unprepare(); }

bool HostProcessData::prepare(IComponent& component, int32_t maxSamples, int32_t sampleSize) {
    unprepare();
    if (sampleSize != kSample32 || maxSamples <= 0)
        return false;
    maxSamples_ = maxSamples;
    symbolicSampleSize = kSample32;

    // Count every channel first so that the storage is one allocation and
    // never moves while the pointers into it are in use.
    size_t channels = 0;
    for (BusDirection dir : {BusDirection(kInput), BusDirection(kOutput)}) {
        const int32 count = component.getBusCount(kAudio, dir);
        for (int32 i = 0; i < count; ++i) {
            BusInfo info{};
            if (component.getBusInfo(kAudio, dir, i, info) == kResultOk && info.channelCount > 0)
                channels += static_cast<size_t>(info.channelCount);
        }
    }
    storage_.assign(channels * static_cast<size_t>(maxSamples), 0.0f);

    size_t used = 0;
    auto build = [&](BusDirection dir, std::vector<AudioBusBuffers>& buses, std::vector<std::vector<float*>>& ptrs) {
        const int32 count = std::max<int32>(component.getBusCount(kAudio, dir), 0);
        buses.assign(static_cast<size_t>(count), AudioBusBuffers());
        ptrs.assign(static_cast<size_t>(count), {});
        for (int32 i = 0; i < count; ++i) {
            BusInfo info{};
            int32 n = 0;
            if (component.getBusInfo(kAudio, dir, i, info) == kResultOk && info.channelCount > 0)
                n = info.channelCount;
            auto& chans = ptrs[static_cast<size_t>(i)];
            for (int32 c = 0; c < n && used < channels; ++c, ++used)
                chans.push_back(storage_.data() + used * static_cast<size_t>(maxSamples));
            AudioBusBuffers& bus = buses[static_cast<size_t>(i)];
            bus.numChannels = static_cast<int32>(chans.size());
            bus.silenceFlags = 0;
            bus.channelBuffers32 = chans.empty() ? nullptr : chans.data();
        }
    };
    build(kInput, inputBuses_, inputChannels_);
    build(kOutput, outputBuses_, outputChannels_);

    numInputs = static_cast<int32>(inputBuses_.size());
    numOutputs = static_cast<int32>(outputBuses_.size());
    inputs = inputBuses_.empty() ? nullptr : inputBuses_.data();
    outputs = outputBuses_.empty() ? nullptr : outputBuses_.data();
    return true;
}

void HostProcessData::unprepare() {
    numInputs = numOutputs = 0;
    inputs = outputs = nullptr;
    numSamples = 0;
    inputBuses_.clear();
    outputBuses_.clear();
    inputChannels_.clear();
    outputChannels_.clear();
    storage_.clear();
    storage_.shrink_to_fit();
    maxSamples_ = 0;
}

} // namespace corvena
