#include "dsp/Amp.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace corvena {

namespace {
struct ModelConstants {
    double preGainExponent;
    double shaperHighPass;
    double cabinetLowPass;
    double presenceDb;
    double scoopDb;
};
constexpr ModelConstants cleanModel{0.7, 50.0, 6000.0, 2.0, -2.0};
constexpr ModelConstants driveModel{1.8, 110.0, 4200.0, 4.0, -5.0};

double toneDb(float control) { return (static_cast<double>(control) - 0.5) * 2.0 * 12.0; }

// A gain that overflowed single precision is held at the largest finite
// float: an infinite pre-gain would turn silence into NaN (0 * inf) and the
// NaN would then live on in every filter behind it.
float finitePreGain(double value) {
    float gain = static_cast<float>(value);
    if (gain > FLT_MAX) gain = FLT_MAX;
    if (gain != gain) gain = 1.0f;
    return gain;
}
} // namespace

Amp::Amp(const AmpSettings& settings) : settings_(settings) {}

void Amp::prepare(double sampleRate, int32_t maxBlock) {
    sampleRate_ = sampleRate;
    workBuffer_.assign(static_cast<size_t>(std::max<int32_t>(maxBlock, 0)), 0.0f);
    oversampler_.prepare(maxBlock);
    gate_.prepare(sampleRate);
    updateCoefficients();
    clearSignalState();
}

void Amp::applySettings(const AmpSettings& settings) {
    settings_ = settings;
    updateCoefficients();
}

void Amp::clearSignalState() {
    for (Biquad& section : sections_) section.reset();
    gate_.reset();
    oversampler_.reset();
}

void Amp::updateCoefficients() {
    const bool drive = settings_.model == AmpModel::Drive;
    const ModelConstants& model = drive ? driveModel : cleanModel;
    const double fs = sampleRate_;

    sections_[0].designHighPass(fs, 25.0, 0.707);
    sections_[1].designHighPass(fs, model.shaperHighPass, 0.707);
    sections_[2].designLowShelf(fs, 120.0, toneDb(settings_.bass));
    sections_[3].designPeaking(fs, 700.0, 0.8, toneDb(settings_.mid));
    sections_[4].designHighShelf(fs, 3000.0, toneDb(settings_.treble));
    sections_[5].designHighPass(fs, 85.0, 0.707);
    sections_[6].designLowPass(fs, model.cabinetLowPass, 0.5412);
    sections_[7].designLowPass(fs, model.cabinetLowPass, 1.3066);
    sections_[8].designPeaking(fs, 2600.0, 1.2, model.presenceDb);
    sections_[9].designPeaking(fs, 850.0, 1.0, model.scoopDb);

    gate_.threshold = NoiseGate::thresholdFor(settings_.gate);
    if (settings_.model == AmpModel::Capture) {
        // A trim, not a drive: 0.5 feeds the capture the DI exactly as it is.
        preGain_ = finitePreGain(std::pow(10.0, (static_cast<double>(settings_.gain) - 0.5) * 24.0 / 20.0));
    } else {
        preGain_ = finitePreGain(std::pow(10.0, static_cast<double>(settings_.gain) * model.preGainExponent));
    }
    // May overflow to +inf for an absurd level: it acts behind every filter, so
    // it poisons no state; process keeps silence silent and the limiter turns
    // the infinite samples into full scale.
    outputGain_ = (settings_.level * settings_.level) * 0.5f;
    if (outputGain_ != outputGain_) outputGain_ = 0.0f;
}

// Input high-pass, gate, pre-shaper high-pass and pre-gain in one pass per
// sample; the sections work on local copies so their state stays in registers.
void Amp::inputStage(const float* input, float* work, int32_t m) {
    Biquad inputHighPass = sections_[0];
    Biquad shaperHighPass = sections_[1];
    const float gain = preGain_;
    // Keeps an overflowing product finite: +-inf reaching the interpolator
    // meets taps of both signs and becomes NaN there.
    auto boost = [gain](float v) {
        v *= gain;
        v = v > FLT_MAX ? FLT_MAX : v;
        return v < -FLT_MAX ? -FLT_MAX : v;
    };
    if (settings_.gate > 0.0f) {
        NoiseGate gate = gate_;
        for (int32_t i = 0; i < m; ++i)
            work[i] = boost(shaperHighPass.processSample(gate.processSample(inputHighPass.processSample(input[i]))));
        gate_ = gate;
    } else {
        for (int32_t i = 0; i < m; ++i)
            work[i] = boost(shaperHighPass.processSample(inputHighPass.processSample(input[i])));
    }
    sections_[0] = inputHighPass;
    sections_[1] = shaperHighPass;
}

void Amp::process(const float* input, float* output, int32_t n) {
    if (n <= 0 || workBuffer_.empty()) return;
    const int32_t m = std::min<int32_t>(n, static_cast<int32_t>(workBuffer_.size()));
    float* work = workBuffer_.data();
    float* oversampled = oversampler_.oversampledBuffer.data();

    inputStage(input, work, m);
    oversampler_.upsample(work, oversampled, m);
    shaper_.process(settings_.model == AmpModel::Drive, oversampled, Oversampler::factor * m);
    oversampler_.downsample(oversampled, output, m);
    processBiquadChain(&sections_[2], cabinetVoicing_ ? 8 : 3, output, m);
    outputStage(output, m);
}

void Amp::captureFront(float* buffer, int32_t n) {
    const float trim = preGain_;
    if (settings_.gate > 0.0f) {
        NoiseGate gate = gate_;
        for (int32_t i = 0; i < n; ++i) buffer[i] = gate.processSample(buffer[i]);
        gate_ = gate;
    }
    for (int32_t i = 0; i < n; ++i) {
        const float v = buffer[i] * trim;
        buffer[i] = v - v == 0.0f ? v : 0.0f;
    }
}

void Amp::toneStack(float* buffer, int32_t n) {
    // Controls at their middle make sections that pass the signal unchanged:
    // a capture with a flat tone stack is heard exactly as it was captured.
    if (settings_.bass == 0.5f && settings_.mid == 0.5f && settings_.treble == 0.5f) return;
    processBiquadChain(&sections_[2], 3, buffer, n);
}

void Amp::outputStage(float* output, int32_t m) {
    const float gain = outputGain_;
    if (gain <= FLT_MAX) {
        for (int32_t i = 0; i < m; ++i) output[i] *= gain;
    } else {
        // An output gain that overflowed: silence stays silence instead of 0 * inf.
        for (int32_t i = 0; i < m; ++i) output[i] = output[i] == 0.0f ? 0.0f : output[i] * gain;
    }

    // Non-finite input (or state) would otherwise stay in the recursive
    // filters for good; start again from silence as after prepare.
    bool finite = true;
    for (int32_t i = 0; i < m; ++i) finite &= output[i] == output[i];
    double state = gate_.envelope;
    for (const Biquad& section : sections_) state += section.z1 + section.z2;
    if (!finite || !(state - state == 0.0)) {
        clearSignalState();
        std::fill(output, output + m, 0.0f);
    }
}

} // namespace corvena
