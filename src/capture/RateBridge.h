#pragma once
#include "capture/CaptureModel.h"

#include <cstdint>
#include <string>
#include <vector>

struct soxr;

namespace corvena {

// Runs a network at its own rate inside a stream at another: the stream's
// blocks are resampled to the network's rate, processed, resampled back and
// queued, so every block of the stream gets exactly its own length back, a
// fixed number of frames later.
class RateBridge {
public:
    RateBridge() = default;
    ~RateBridge();
    RateBridge(const RateBridge&) = delete;
    RateBridge& operator=(const RateBridge&) = delete;

    // Control thread: prepares the model for the chunks it will get and runs
    // silence through the whole path until it is settled, so the audio thread
    // finds every buffer at its working size.
    bool prepare(CaptureModel& model, double streamRate, double modelRate, int32_t maxBlock, std::string& error);
    // Audio thread, in place; n <= maxBlock; `model` is the one prepared with.
    void process(CaptureModel* model, float* buffer, int32_t n);
    uint32_t latencyFrames() const { return latency_; }

private:
    bool build(double streamRate, double modelRate, int32_t maxBlock, std::string& error);
    void settle(CaptureModel* model, int32_t maxBlock);
    uint32_t measureDelay(int32_t maxBlock);
    // Null: nothing between the resamplers.
    void runChunk(CaptureModel* model, const float* input, int32_t n);

    soxr* up_ = nullptr;
    soxr* down_ = nullptr;
    std::vector<float> atModelRate_; // one block's worth at the model's rate
    std::vector<float> backAtStreamRate_;
    std::vector<float> queue_;       // ring of processed frames at the stream's rate
    size_t queueRead_ = 0;
    size_t queueFill_ = 0;
    int32_t modelBlock_ = 0;
    uint32_t latency_ = 0;
};

} // namespace corvena
