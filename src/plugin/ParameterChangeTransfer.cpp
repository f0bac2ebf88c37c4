#include "plugin/ParameterChangeTransfer.h"

#include "plugin/ParameterChanges.h"

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace corvena {

void ParameterChangeTransfer::setMaxParameters(int32_t count) {
    std::lock_guard<std::mutex> lock(writers_);
    size_ = count > 0 ? count * 2 : 0;
    entries_ = size_ > 0 ? std::make_unique<Entry[]>(static_cast<size_t>(size_)) : nullptr;
    readIndex_.store(0);
    writeIndex_.store(0);
}

void ParameterChangeTransfer::addChange(ParamID id, ParamValue value, int32 sampleOffset) {
    if (size_ == 0)
        return;
    std::lock_guard<std::mutex> lock(writers_);
    const int32_t write = writeIndex_.load(std::memory_order_relaxed);
    // The entry at the write position is never read until the position moves
    // past it, so it may always be written; when the ring is full it is simply
    // overwritten by the next edit.
    entries_[write] = Entry{id, value, sampleOffset};
    const int32_t next = write + 1 == size_ ? 0 : write + 1;
    if (next != readIndex_.load(std::memory_order_acquire))
        writeIndex_.store(next, std::memory_order_release);
}

void ParameterChangeTransfer::transferChangesTo(ParameterChanges& changes) {
    if (size_ == 0)
        return;
    int32_t read = readIndex_.load(std::memory_order_relaxed);
    const int32_t write = writeIndex_.load(std::memory_order_acquire);
    while (read != write) {
        const Entry& e = entries_[read];
        int32 queueIndex = 0;
        if (IParamValueQueue* queue = changes.addParameterData(e.id, queueIndex)) {
            int32 pointIndex = 0;
            queue->addPoint(e.sampleOffset, e.value, pointIndex);
        }
        read = read + 1 == size_ ? 0 : read + 1;
    }
    readIndex_.store(read, std::memory_order_release);
}

void ParameterChangeTransfer::removeChanges() {
    if (size_ == 0)
        return;
    readIndex_.store(writeIndex_.load(std::memory_order_acquire), std::memory_order_release);
}

} // namespace corvena
