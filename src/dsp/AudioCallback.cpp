#include "engine/Engine.h"

namespace corvena {
// Placeholder until the signal chain lands.
int Engine::processBlock(float* output, const float*, uint32_t frameCount, uint32_t status) {
    if (status != 0) xrunCount.fetch_add(1);
    for (uint32_t i = 0; i < 2 * frameCount; ++i) output[i] = 0.0f;
    return 0;
}

int audioCallback(void* output, void* input, unsigned int frameCount, double, unsigned int status,
                  void* userData) {
    return static_cast<Engine*>(userData)->processBlock(static_cast<float*>(output),
                                                         static_cast<const float*>(input), frameCount, status);
}
} // namespace corvena
