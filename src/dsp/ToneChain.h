#pragma once
#include "capture/CaptureStage.h"
#include "capture/Convolver.h"
#include "capture/ImpulseResponse.h"
#include "dsp/Amp.h"
#include "dsp/AmpSettings.h"
#include "dsp/StageSwap.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvena {

// What loading a capture tells the front end.
struct CaptureReport {
    std::string architecture;
    double sampleRate = 0.0;
    double latencyMs = 0.0;
    std::optional<double> loudness;
    nlohmann::json metadata;
};

// What loading a cabinet impulse response tells the front end.
struct CabinetReport {
    double sampleRate = 0.0;
    double seconds = 0.0;
    uint32_t channels = 0;
};

// The DI's way to the limiter. Clean and Drive: the built-in amp, whose fixed
// cabinet voicing gives way to a loaded, enabled impulse response. Capture:
// gate, input trim, the capture, tone stack, impulse response, output level.
// The capture and the response are built on the control thread and taken by
// the audio thread at a block boundary, the old and the new crossfaded over
// that block; both outlive stream closes and are rebuilt at each new rate.
class ToneChain {
public:
    explicit ToneChain(const AmpSettings& settings = AmpSettings{});

    // Control thread, no audio thread running: rate and block size adopted,
    // the amp cleared, the capture and the response rebuilt for them.
    void prepare(double sampleRate, int32_t maxBlock);
    // Whether an audio thread runs process (set by the stream's start and stop):
    // while it does, new stages are handed over instead of put in place.
    void setLive(bool live) { live_ = live; }
    // Audio thread (or control thread while not live).
    void applySettings(const AmpSettings& settings) { amp_.applySettings(settings); }
    // Audio thread: DI in, tone out, in place.
    void process(float* buffer, int32_t n);

    // Control thread. A failed load changes nothing.
    bool loadCapture(const std::string& path, CaptureReport& report, std::string& error);
    void unloadCapture();
    void setCaptureNormalize(bool on) { captureNormalize_.store(on); }
    bool loadCabinet(const std::string& path, bool normalize, CabinetReport& report, std::string& error);
    void unloadCabinet();
    void setCabinetEnabled(bool on) { cabinetEnabled_.store(on); }
    // Re-scales the loaded response (unit energy or as recorded).
    void setCabinetNormalize(bool on);
    // Control thread: the same capture, response and their options as `other`
    // (for an offline render with stages of its own); takes effect at prepare.
    void copyToneOf(const ToneChain& other);
    // Frees the stages the audio thread has let go of.
    void releaseRetired();

    const std::string& capturePath() const { return capturePath_; }
    const std::string& cabinetPath() const { return cabinetPath_; }
    bool captureNormalize() const { return captureNormalize_.load(); }
    bool cabinetEnabled() const { return cabinetEnabled_.load(); }
    bool cabinetNormalize() const { return cabinetNormalize_; }
    // The delay the capture's resampling adds, in milliseconds (0 at its own rate).
    double latencyMs() const;

    Amp& amp() { return amp_; }
    const Amp& amp() const { return amp_; }

private:
    std::unique_ptr<CaptureStage> buildCapture(std::string& error) const;
    std::unique_ptr<Convolver> buildCabinet() const;
    void runCapture(float* buffer, int32_t n, StageSwap<CaptureStage>::Slot* handOver);
    void runCabinet(float* buffer, int32_t n, StageSwap<Convolver>::Slot* handOver);
    void crossfade(float* buffer, const float* before, int32_t n) const;

    Amp amp_;
    double sampleRate_ = 48000.0;
    int32_t maxBlock_ = 0;
    bool live_ = false;

    // Control thread's record, from which the stages are rebuilt.
    std::shared_ptr<const CaptureFile> captureFile_;
    std::string capturePath_;
    ImpulseResponse response_;
    std::string cabinetPath_;
    bool cabinetNormalize_ = false;
    uint32_t captureLatency_ = 0;

    StageSwap<CaptureStage> capture_;
    StageSwap<Convolver> cabinet_;
    std::atomic<bool> captureNormalize_{false};
    std::atomic<bool> cabinetEnabled_{true};
    std::vector<float> fadeBuffer_; // the replaced stage's output during a hand-over
};

} // namespace corvena
