// Any text either becomes a capture whose network prepares and runs, or is
// refused with a message; nothing crashes, leaks or allocates without bound.
#include "capture/CaptureFile.h"
#include "capture/CaptureModel.h"

#include <cmath>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    const auto file = corvena::parseCapture(std::string(reinterpret_cast<const char*>(data), size), error);
    if (!file) {
        if (error.empty()) __builtin_trap(); // a refusal always says why
        return 0;
    }
    const auto model = corvena::makeCaptureModel(*file);
    if (!model) __builtin_trap();
    model->prepare(64);
    float block[64];
    for (int i = 0; i < 64; ++i) block[i] = 0.4f * std::sin(0.3f * float(i));
    model->process(block, block, 37);
    model->process(block, block, 64);
    return 0;
}
