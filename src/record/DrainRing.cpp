#include "record/DrainRing.h"

namespace corvena {

bool drainRing(SampleRing& ring, WavWriter& writer, std::vector<float>& scratch) {
    bool popped = false;
    for (;;) {
        const uint64_t count = ring.pop(scratch.data(), scratch.size());
        if (count == 0) break;
        popped = true;
        if (writer.isOpen()) writer.writeSamples(scratch.data(), static_cast<int32_t>(count));
    }
    return popped;
}

} // namespace corvena
