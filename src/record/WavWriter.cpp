#include "record/WavWriter.h"

namespace corvena {
// Placeholder until recording lands.
WavWriter::~WavWriter() { finalize(); }
bool WavWriter::open(const std::string&, int32_t, int32_t) { return false; }
bool WavWriter::writeSamples(const float*, int32_t) { return false; }
bool WavWriter::finalize() { return true; }
} // namespace corvena
