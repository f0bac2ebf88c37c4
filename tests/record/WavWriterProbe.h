#pragma once
#include "record/WavWriter.h"

namespace corvena {

// Reaches into a WavWriter so tests can exercise the 32-bit size limit
// without writing gigabytes.
struct WavWriterProbe {
    static void setDataLimit(WavWriter& writer, uint64_t bytes) { writer.dataLimit_ = bytes; }
    static void pretendFramesWritten(WavWriter& writer, uint64_t frames) { writer.framesWritten_ = frames; }
};

} // namespace corvena
