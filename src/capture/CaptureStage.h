#pragma once
#include "capture/CaptureModel.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvena {

class RateBridge;

// A capture as the stream runs it: its network at the rate it was trained at,
// behind a resampler pair when the stream runs at another rate, and the gain
// that brings it to a common loudness.
class CaptureStage {
public:
    // The loudness (dBFS RMS of the trainer's test signal) that normalised captures meet.
    static constexpr double normalizedLoudnessDb = -18.0;

    CaptureStage();
    ~CaptureStage();
    CaptureStage(const CaptureStage&) = delete;
    CaptureStage& operator=(const CaptureStage&) = delete;

    // Control thread: builds and prewarms the network for blocks of up to
    // maxBlock frames at the stream's rate. False with `error` when the
    // resampler pair cannot be made.
    bool prepare(std::shared_ptr<const CaptureFile> file, double streamRate, int32_t maxBlock, std::string& error);
    // Audio thread, in place; n <= maxBlock.
    void process(float* buffer, int32_t n);

    // Frames the resampler pair delays the signal by (0 at the capture's own rate).
    uint32_t latencyFrames() const;
    // What normalising multiplies the output by (1 when the file gives no loudness).
    float normalizeGain() const { return normalizeGain_; }
    const CaptureFile& file() const { return *file_; }

private:
    std::shared_ptr<const CaptureFile> file_;
    std::unique_ptr<CaptureModel> model_;
    std::unique_ptr<RateBridge> bridge_;
    float normalizeGain_ = 1.0f;
};

} // namespace corvena
