#pragma once
#include "record/SampleRing.h"
#include "record/WavWriter.h"

#include <vector>

namespace corvena {

// Disk-writer side of a recording ring: pops chunks of up to scratch.size()
// samples until the ring is empty and appends each chunk to the writer while
// it has an open file. A failed append is not reported here: the writer's
// frame count already leaves it out of the header. Returns whether anything
// was popped.
bool drainRing(SampleRing& ring, WavWriter& writer, std::vector<float>& scratch);

} // namespace corvena
