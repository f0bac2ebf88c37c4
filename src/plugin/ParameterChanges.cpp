#include "plugin/ParameterChanges.h"

#include <algorithm>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace corvena {

ParamValueQueue::ParamValueQueue(int32_t reservedPoints) {
    points_.reserve(static_cast<size_t>(std::max<int32_t>(reservedPoints, 1)));
}

void ParamValueQueue::setParamID(ParamID id) { id_ = id; }

void ParamValueQueue::clear() { points_.clear(); }

ParamID PLUGIN_API ParamValueQueue::getParameterId() { return id_; }

int32 PLUGIN_API ParamValueQueue::getPointCount() { return static_cast<int32>(points_.size()); }

tresult PLUGIN_API ParamValueQueue::getPoint(int32 index, int32& sampleOffset, ParamValue& value) {
    if (index < 0 || index >= static_cast<int32>(points_.size()))
        return kResultFalse;
    sampleOffset = points_[static_cast<size_t>(index)].offset;
    value = points_[static_cast<size_t>(index)].value;
    return kResultOk;
}

tresult PLUGIN_API ParamValueQueue::addPoint(int32 sampleOffset, ParamValue value, int32& index) {
    // Points stay sorted by offset; the common case (all at offset 0, or
    // appended in order) touches only the last point.
    size_t pos = points_.size();
    while (pos > 0 && points_[pos - 1].offset > sampleOffset)
        --pos;
    if (pos > 0 && points_[pos - 1].offset == sampleOffset) {
        points_[pos - 1].value = value;
        index = static_cast<int32>(pos - 1);
        return kResultOk;
    }
    if (points_.size() == points_.capacity())
        return kResultFalse; // full: the audio thread never allocates
    points_.insert(points_.begin() + static_cast<std::ptrdiff_t>(pos), Point{sampleOffset, value});
    index = static_cast<int32>(pos);
    return kResultOk;
}

tresult PLUGIN_API ParamValueQueue::queryInterface(const TUID iid, void** obj) {
    if (!obj)
        return kInvalidArgument;
    if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, IParamValueQueue::iid)) {
        *obj = static_cast<IParamValueQueue*>(this);
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

ParameterChanges::ParameterChanges(int32_t reservedQueues) { setMaxParameters(reservedQueues); }

void ParameterChanges::setMaxParameters(int32_t count) {
    queues_.reserve(static_cast<size_t>(std::max(count, 0)));
    while (static_cast<int32_t>(queues_.size()) < count)
        queues_.push_back(std::make_unique<ParamValueQueue>());
}

void ParameterChanges::clearQueue() {
    for (int32_t i = 0; i < used_; ++i)
        queues_[static_cast<size_t>(i)]->clear();
    used_ = 0;
}

int32 PLUGIN_API ParameterChanges::getParameterCount() { return used_; }

IParamValueQueue* PLUGIN_API ParameterChanges::getParameterData(int32 index) {
    if (index < 0 || index >= used_)
        return nullptr;
    return queues_[static_cast<size_t>(index)].get();
}

IParamValueQueue* PLUGIN_API ParameterChanges::addParameterData(const ParamID& id, int32& index) {
    for (int32_t i = 0; i < used_; ++i) {
        if (queues_[static_cast<size_t>(i)]->getParameterId() == id) {
            index = i;
            return queues_[static_cast<size_t>(i)].get();
        }
    }
    if (used_ == static_cast<int32_t>(queues_.size()))
        return nullptr; // full: the audio thread never allocates
    ParamValueQueue* queue = queues_[static_cast<size_t>(used_)].get();
    queue->clear();
    queue->setParamID(id);
    index = used_++;
    return queue;
}

tresult PLUGIN_API ParameterChanges::queryInterface(const TUID iid, void** obj) {
    if (!obj)
        return kInvalidArgument;
    if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, IParameterChanges::iid)) {
        *obj = static_cast<IParameterChanges*>(this);
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

} // namespace corvena
