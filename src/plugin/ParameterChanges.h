#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "pluginterfaces/vst/ivstparameterchanges.h"

namespace corvena {

// The points of one parameter within one block, kept sorted by sample offset.
// Lives inside a ParameterChanges for the slot's whole life, so reference
// counting is a formality: the plug-in never owns it.
class ParamValueQueue : public Steinberg::Vst::IParamValueQueue {
public:
    explicit ParamValueQueue(int32_t reservedPoints = 16);

    void setParamID(Steinberg::Vst::ParamID id);
    // Forget every point; the storage stays for reuse.
    void clear();

    Steinberg::Vst::ParamID PLUGIN_API getParameterId() override;
    Steinberg::int32 PLUGIN_API getPointCount() override;
    Steinberg::tresult PLUGIN_API getPoint(Steinberg::int32 index, Steinberg::int32& sampleOffset,
                                           Steinberg::Vst::ParamValue& value) override;
    // A point at an offset that already has one replaces its value; a full
    // queue refuses new offsets.
    Steinberg::tresult PLUGIN_API addPoint(Steinberg::int32 sampleOffset, Steinberg::Vst::ParamValue value,
                                           Steinberg::int32& index) override;

    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
    Steinberg::uint32 PLUGIN_API release() override { return 1; }

private:
    struct Point {
        Steinberg::int32 offset;
        Steinberg::Vst::ParamValue value;
    };
    Steinberg::Vst::ParamID id_ = Steinberg::Vst::kNoParamId;
    std::vector<Point> points_;
};

// The parameter changes of one block: one queue per parameter. Capacity is
// fixed by setMaxParameters() (and each queue's reserved points): the audio
// thread fills and clears it and never allocates; what does not fit is refused.
class ParameterChanges : public Steinberg::Vst::IParameterChanges {
public:
    explicit ParameterChanges(int32_t reservedQueues = 0);
    ParameterChanges(const ParameterChanges&) = delete;
    ParameterChanges& operator=(const ParameterChanges&) = delete;

    // Make sure at least this many queues exist without allocating later.
    void setMaxParameters(int32_t count);
    // Empty every queue in use (the queues themselves stay).
    void clearQueue();

    Steinberg::int32 PLUGIN_API getParameterCount() override;
    Steinberg::Vst::IParamValueQueue* PLUGIN_API getParameterData(Steinberg::int32 index) override;
    Steinberg::Vst::IParamValueQueue* PLUGIN_API addParameterData(const Steinberg::Vst::ParamID& id,
                                                                  Steinberg::int32& index) override;

    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
    Steinberg::uint32 PLUGIN_API release() override { return 1; }

private:
    std::vector<std::unique_ptr<ParamValueQueue>> queues_;
    int32_t used_ = 0;
};

} // namespace corvena
