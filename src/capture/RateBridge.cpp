#include "capture/RateBridge.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace corvena {

namespace {
// Long enough for the resamplers' output to have settled into its rhythm.
constexpr int32_t settleBlocks = 200;
// Frames kept queued beyond one block, against the resamplers' uneven output.
constexpr size_t queueMargin = 4;

soxr* makeResampler(double from, double to, std::string& error) {
    soxr_error_t failure = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    // Minimum phase: a live path wants the least delay, not a symmetric filter.
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_MINIMUM_PHASE);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    runtime.log2_min_dft_size = 8; // small steps keep the output even from block to block
    soxr* r = soxr_create(from, to, 1, &failure, &io, &quality, &runtime);
    if (failure != nullptr) {
        error = std::string("cannot resample the capture: ") + failure;
        soxr_delete(r);
        return nullptr;
    }
    return r;
}
} // namespace

RateBridge::~RateBridge() {
    soxr_delete(up_);
    soxr_delete(down_);
}

bool RateBridge::prepare(CaptureModel& model, double streamRate, double modelRate, int32_t maxBlock,
                         std::string& error) {
    if (!build(streamRate, modelRate, maxBlock, error)) return false;
    model.prepare(modelBlock_);
    settle(&model, maxBlock);
    // The delay, as a twin pair with nothing between its resamplers shows it.
    RateBridge probe;
    if (!probe.build(streamRate, modelRate, maxBlock, error)) return false;
    probe.settle(nullptr, maxBlock);
    latency_ = probe.measureDelay(maxBlock);
    return true;
}

bool RateBridge::build(double streamRate, double modelRate, int32_t maxBlock, std::string& error) {
    up_ = makeResampler(streamRate, modelRate, error);
    if (up_ == nullptr) return false;
    down_ = makeResampler(modelRate, streamRate, error);
    if (down_ == nullptr) return false;
    modelBlock_ = static_cast<int32_t>(std::ceil(maxBlock * modelRate / streamRate)) + 64;
    atModelRate_.assign(static_cast<size_t>(modelBlock_), 0.0f);
    backAtStreamRate_.assign(static_cast<size_t>(maxBlock) * 2 + 256, 0.0f);
    queue_.assign(static_cast<size_t>(maxBlock) * 16 + 4096, 0.0f);
    return true;
}

// Silence through the whole path: the resamplers' buffers grow to their
// working size here, and the queue's lowest level shows how much to keep.
void RateBridge::settle(CaptureModel* model, int32_t maxBlock) {
    std::vector<float> silence(static_cast<size_t>(maxBlock), 0.0f);
    size_t lowest = queue_.size();
    for (int32_t b = 0; b < settleBlocks; ++b) {
        runChunk(model, silence.data(), maxBlock);
        if (b >= settleBlocks / 2) lowest = std::min(lowest, queueFill_);
        const size_t take = std::min(queueFill_, static_cast<size_t>(maxBlock));
        queueRead_ = (queueRead_ + take) % queue_.size();
        queueFill_ -= take;
    }
    // Keep just enough queued that a block never finds the queue short. The
    // queue holds the settled output of silence, so frames added or dropped
    // here are that same value.
    const size_t wanted = static_cast<size_t>(maxBlock) + queueMargin;
    const float settled = queueFill_ > 0 ? queue_[(queueRead_ + queueFill_ - 1) % queue_.size()] : 0.0f;
    if (lowest < wanted) {
        for (size_t i = 0; i < wanted - lowest; ++i) {
            queue_[(queueRead_ + queueFill_) % queue_.size()] = settled;
            ++queueFill_;
        }
    } else {
        const size_t drop = std::min(lowest - wanted, queueFill_);
        queueRead_ = (queueRead_ + drop) % queue_.size();
        queueFill_ -= drop;
    }
}

// The shift of a 1 kHz tone burst's energy centre, in frames.
uint32_t RateBridge::measureDelay(int32_t maxBlock) {
    const double rate = 48000.0; // only the burst's shape depends on it
    std::vector<float> signal(static_cast<size_t>(maxBlock) * ((24000 + maxBlock - 1) / maxBlock), 0.0f);
    for (size_t i = 0; i < 2400; ++i) {
        const double w = std::sin(M_PI * static_cast<double>(i) / 2400.0);
        signal[i] = static_cast<float>(w * w * std::sin(2.0 * M_PI * 1000.0 * static_cast<double>(i) / rate));
    }
    std::vector<float> out = signal;
    for (size_t at = 0; at < out.size(); at += static_cast<size_t>(maxBlock)) process(nullptr, &out[at], maxBlock);
    auto centre = [](const std::vector<float>& v) {
        double energy = 0, weighted = 0;
        for (size_t i = 0; i < v.size(); ++i) {
            energy += static_cast<double>(v[i]) * v[i];
            weighted += static_cast<double>(i) * v[i] * v[i];
        }
        return energy > 0 ? weighted / energy : 0.0;
    };
    return static_cast<uint32_t>(std::lround(std::max(0.0, centre(out) - centre(signal))));
}

void RateBridge::runChunk(CaptureModel* model, const float* input, int32_t n) {
    size_t used = 0, made = 0;
    soxr_process(up_, input, static_cast<size_t>(n), &used, atModelRate_.data(), atModelRate_.size(), &made);
    const int32_t m = static_cast<int32_t>(made);
    if (m > 0 && model != nullptr) model->process(atModelRate_.data(), atModelRate_.data(), m);
    size_t back = 0;
    soxr_process(down_, atModelRate_.data(), made, &used, backAtStreamRate_.data(), backAtStreamRate_.size(), &back);
    for (size_t i = 0; i < back && queueFill_ < queue_.size(); ++i) {
        queue_[(queueRead_ + queueFill_) % queue_.size()] = backAtStreamRate_[i];
        ++queueFill_;
    }
}

void RateBridge::process(CaptureModel* model, float* buffer, int32_t n) {
    runChunk(model, buffer, n);
    const size_t want = static_cast<size_t>(n);
    size_t i = 0;
    for (; i < want && queueFill_ > 0; ++i) {
        buffer[i] = queue_[queueRead_];
        queueRead_ = (queueRead_ + 1) % queue_.size();
        --queueFill_;
    }
    for (; i < want; ++i) buffer[i] = 0.0f;
}

} // namespace corvena
