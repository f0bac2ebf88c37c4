#pragma once
#include "capture/CaptureFile.h"

#include <cstdint>
#include <memory>

namespace corvena {

// One running network of a capture, at the capture's own rate.
class CaptureModel {
public:
    virtual ~CaptureModel() = default;
    // Control thread: make room for blocks of up to maxBlock frames, restore the
    // file's initial state and prewarm.
    virtual void prepare(int32_t maxBlock) = 0;
    // Audio thread: n <= maxBlock; input and output may be the same buffer.
    // Never allocates, locks or throws.
    virtual void process(const float* input, float* output, int32_t n) = 0;
};

// A new network for the file, not yet prepared.
std::unique_ptr<CaptureModel> makeCaptureModel(const CaptureFile& file);

} // namespace corvena
