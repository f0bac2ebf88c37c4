#include "dsp/OutputLimiter.h"

namespace corvena {
// Placeholder until the signal chain lands.
void OutputLimiter::prepare(double) {}
void OutputLimiter::process(float*, int32_t) {}
} // namespace corvena
