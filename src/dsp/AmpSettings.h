#pragma once
#include <cstdint>

namespace corvena {

// Capture: a loaded amp capture in place of the built-in waveshaper (ToneChain).
enum class AmpModel : uint32_t { Clean = 0, Drive = 1, Capture = 2 };

// The amplifier's settings record; always copied and handed on whole.
struct AmpSettings {
    AmpModel model = AmpModel::Drive;
    float gain = 0.6f;
    float bass = 0.5f;
    float mid = 0.5f;
    float treble = 0.5f;
    float level = 0.7f;
    float gate = 0.5f;
};

} // namespace corvena
