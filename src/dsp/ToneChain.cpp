#include "dsp/ToneChain.h"

#include <algorithm>

namespace corvena {

ToneChain::ToneChain(const AmpSettings& settings) : amp_(settings) {}

void ToneChain::prepare(double sampleRate, int32_t maxBlock) {
    sampleRate_ = sampleRate;
    maxBlock_ = std::max<int32_t>(maxBlock, 0);
    amp_.prepare(sampleRate, maxBlock_);
    fadeBuffer_.assign(static_cast<size_t>(maxBlock_), 0.0f);
    std::string error;
    // A capture that loaded once builds again; the resampler pair is the only
    // part that could refuse, and then the capture is dropped, not half-made.
    std::unique_ptr<CaptureStage> capture = buildCapture(error);
    if (!capture) {
        captureFile_.reset();
        capturePath_.clear();
    }
    captureLatency_ = capture ? capture->latencyFrames() : 0;
    capture_.install(std::move(capture));
    cabinet_.install(buildCabinet());
}

std::unique_ptr<CaptureStage> ToneChain::buildCapture(std::string& error) const {
    if (!captureFile_ || maxBlock_ == 0) return nullptr;
    auto stage = std::make_unique<CaptureStage>();
    if (!stage->prepare(captureFile_, sampleRate_, maxBlock_, error)) return nullptr;
    return stage;
}

std::unique_ptr<Convolver> ToneChain::buildCabinet() const {
    if (response_.samples.empty() || maxBlock_ == 0) return nullptr;
    std::vector<float> taps = response_.sampleRate == sampleRate_
                                  ? response_.samples
                                  : resampleImpulse(response_.samples, response_.sampleRate, sampleRate_);
    if (cabinetNormalize_) normalizeEnergy(taps);
    auto convolver = std::make_unique<Convolver>();
    convolver->prepare(taps, maxBlock_);
    return convolver;
}

bool ToneChain::loadCapture(const std::string& path, CaptureReport& report, std::string& error) {
    std::shared_ptr<const CaptureFile> file = loadCaptureFile(path, error);
    if (!file) return false;
    std::shared_ptr<const CaptureFile> previous = std::move(captureFile_);
    captureFile_ = file;
    std::unique_ptr<CaptureStage> stage;
    if (maxBlock_ > 0) {
        stage = buildCapture(error);
        if (!stage) {
            captureFile_ = std::move(previous);
            return false;
        }
    }
    captureLatency_ = stage ? stage->latencyFrames() : 0;
    capturePath_ = path;
    report.architecture = file->architecture;
    report.sampleRate = file->sampleRate;
    report.loudness = file->loudness;
    report.metadata = file->metadata;
    report.latencyMs = latencyMs();
    if (live_)
        capture_.offer(std::move(stage));
    else
        capture_.install(std::move(stage));
    return true;
}

void ToneChain::unloadCapture() {
    captureFile_.reset();
    capturePath_.clear();
    captureLatency_ = 0;
    if (live_)
        capture_.offer(nullptr);
    else
        capture_.install(nullptr);
}

bool ToneChain::loadCabinet(const std::string& path, bool normalize, CabinetReport& report, std::string& error) {
    ImpulseResponse response;
    if (!loadImpulseResponse(path, response, error)) return false;
    response_ = std::move(response);
    cabinetPath_ = path;
    cabinetNormalize_ = normalize;
    report.sampleRate = response_.sampleRate;
    report.seconds = response_.seconds();
    report.channels = response_.channels;
    if (live_)
        cabinet_.offer(buildCabinet());
    else
        cabinet_.install(buildCabinet());
    return true;
}

void ToneChain::unloadCabinet() {
    response_ = ImpulseResponse{};
    cabinetPath_.clear();
    if (live_)
        cabinet_.offer(nullptr);
    else
        cabinet_.install(nullptr);
}

void ToneChain::setCabinetNormalize(bool on) {
    if (on == cabinetNormalize_) return;
    cabinetNormalize_ = on;
    if (response_.samples.empty()) return;
    if (live_)
        cabinet_.offer(buildCabinet());
    else
        cabinet_.install(buildCabinet());
}

void ToneChain::copyToneOf(const ToneChain& other) {
    captureFile_ = other.captureFile_;
    capturePath_ = other.capturePath_;
    response_ = other.response_;
    cabinetPath_ = other.cabinetPath_;
    cabinetNormalize_ = other.cabinetNormalize_;
    captureNormalize_.store(other.captureNormalize_.load());
    cabinetEnabled_.store(other.cabinetEnabled_.load());
}

void ToneChain::releaseRetired() {
    capture_.release();
    cabinet_.release();
}

double ToneChain::latencyMs() const {
    return sampleRate_ > 0.0 ? captureLatency_ * 1000.0 / sampleRate_ : 0.0;
}

void ToneChain::process(float* buffer, int32_t n) {
    n = std::min(n, maxBlock_);
    if (n <= 0) return;
    StageSwap<CaptureStage>::Slot* captureHandOver = capture_.take();
    StageSwap<Convolver>::Slot* cabinetHandOver = cabinet_.take();
    const bool cabinetOn = cabinetEnabled_.load() && (cabinet_.active() != nullptr || cabinetHandOver != nullptr);

    if (amp_.settings().model == AmpModel::Capture) {
        amp_.captureFront(buffer, n);
        runCapture(buffer, n, captureHandOver);
        amp_.toneStack(buffer, n);
        if (cabinetOn) runCabinet(buffer, n, cabinetHandOver);
        amp_.outputStage(buffer, n);
    } else {
        // The level acts before the response here; both are linear, so the
        // order does not change the sound.
        amp_.setCabinetVoicing(!cabinetOn);
        amp_.process(buffer, buffer, n);
        if (cabinetOn) runCabinet(buffer, n, cabinetHandOver);
    }

    if (captureHandOver) capture_.retire(captureHandOver);
    if (cabinetHandOver) cabinet_.retire(cabinetHandOver);
}

void ToneChain::runCapture(float* buffer, int32_t n, StageSwap<CaptureStage>::Slot* handOver) {
    const bool normalize = captureNormalize_.load();
    auto run = [&](CaptureStage* stage, float* samples) {
        if (stage == nullptr) return; // no capture: the signal goes on as it is
        stage->process(samples, n);
        if (normalize) {
            const float gain = stage->normalizeGain();
            for (int32_t i = 0; i < n; ++i) samples[i] *= gain;
        }
    };
    if (handOver != nullptr) {
        std::copy(buffer, buffer + n, fadeBuffer_.data());
        run(handOver->stage.get(), fadeBuffer_.data());
    }
    run(capture_.active(), buffer);
    if (handOver != nullptr) crossfade(buffer, fadeBuffer_.data(), n);
}

void ToneChain::runCabinet(float* buffer, int32_t n, StageSwap<Convolver>::Slot* handOver) {
    auto run = [&](Convolver* convolver, float* samples) {
        if (convolver != nullptr) convolver->process(samples, samples, n);
    };
    if (handOver != nullptr) {
        std::copy(buffer, buffer + n, fadeBuffer_.data());
        run(handOver->stage.get(), fadeBuffer_.data());
    }
    run(cabinet_.active(), buffer);
    if (handOver != nullptr) crossfade(buffer, fadeBuffer_.data(), n);
}

// Linear from the replaced stage's output to the new one's over the block.
void ToneChain::crossfade(float* buffer, const float* before, int32_t n) const {
    const float step = 1.0f / static_cast<float>(n);
    for (int32_t i = 0; i < n; ++i) {
        const float t = static_cast<float>(i + 1) * step;
        buffer[i] = before[i] + (buffer[i] - before[i]) * t;
    }
}

} // namespace corvena
