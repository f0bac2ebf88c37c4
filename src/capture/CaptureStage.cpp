#include "capture/CaptureStage.h"
#include "capture/RateBridge.h"

#include <cmath>

namespace corvena {

CaptureStage::CaptureStage() = default;
CaptureStage::~CaptureStage() = default;

bool CaptureStage::prepare(std::shared_ptr<const CaptureFile> file, double streamRate, int32_t maxBlock,
                           std::string& error) {
    file_ = std::move(file);
    model_ = makeCaptureModel(*file_);
    // Early files do not say; they were trained at 48 kHz.
    const double modelRate = file_->sampleRate > 0.0 ? file_->sampleRate : 48000.0;
    normalizeGain_ = file_->loudness
                         ? static_cast<float>(std::pow(10.0, (normalizedLoudnessDb - *file_->loudness) / 20.0))
                         : 1.0f;
    if (std::fabs(modelRate - streamRate) < 0.5) {
        bridge_.reset();
        model_->prepare(maxBlock);
        return true;
    }
    bridge_ = std::make_unique<RateBridge>();
    return bridge_->prepare(*model_, streamRate, modelRate, maxBlock, error);
}

void CaptureStage::process(float* buffer, int32_t n) {
    if (bridge_)
        bridge_->process(model_.get(), buffer, n);
    else
        model_->process(buffer, buffer, n);
}

uint32_t CaptureStage::latencyFrames() const { return bridge_ ? bridge_->latencyFrames() : 0; }

} // namespace corvena
