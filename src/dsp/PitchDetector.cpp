#include "dsp/PitchDetector.h"
#include "dsp/Biquad.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>

namespace corvena {

namespace {
constexpr double windowSeconds = 0.1;   // three periods of the lowest note
constexpr double clarityMinimum = 0.8;  // below: noise or several notes
constexpr double firstPeakShare = 0.9;  // the first maximum this close to the best is the period
constexpr double smoothingCents = 15.0; // readings this close count as the same held note
constexpr float onsetShare = 0.02f;     // of the window's peak: quieter ends are left out
constexpr double fundamentalShare = 0.005; // of the power, at least, at the fundamental
constexpr double refineCutoff = 2.5;     // low-pass for the refinement, in multiples of the pitch

// Vertex of the parabola through (-1, a), (0, b), (1, c), relative to the middle point.
double vertexOffset(double a, double b, double c) {
    const double curvature = a - 2.0 * b + c;
    return curvature < 0.0 ? 0.5 * (a - c) / curvature : 0.0;
}
} // namespace

struct PitchDetector::Plans {
    double* signal = nullptr;         // fftSize_ reals: the window, zero-padded; then the autocorrelation
    fftw_complex* spectrum = nullptr; // fftSize_ / 2 + 1
    fftw_plan forward = nullptr;
    fftw_plan backward = nullptr;

    ~Plans() {
        if (forward) fftw_destroy_plan(forward);
        if (backward) fftw_destroy_plan(backward);
        fftw_free(signal);
        fftw_free(spectrum);
    }
};

PitchDetector::PitchDetector() = default;
PitchDetector::~PitchDetector() = default;

void PitchDetector::prepare(double sampleRate) {
    sampleRate_ = sampleRate;
    window_ = static_cast<int32_t>(std::lround(windowSeconds * sampleRate));
    // A little beyond the range on both sides, so that notes at its ends still
    // have a maximum with neighbours to interpolate.
    minLag_ = std::max<int32_t>(2, static_cast<int32_t>(std::floor(sampleRate / (highestFrequency * 1.04))));
    maxLag_ = static_cast<int32_t>(std::ceil(sampleRate / (lowestFrequency * 0.96)));
    lagLimit_ = std::max(window_ / 2, maxLag_ + 2);
    // Zero padding to window + longest lag keeps the circular correlation linear there.
    fftSize_ = 1;
    while (fftSize_ < window_ + lagLimit_ + 1) fftSize_ *= 2;

    history_.assign(static_cast<size_t>(window_), 0.0f);
    energy_.assign(static_cast<size_t>(window_) + 1, 0.0);
    nsdf_.assign(static_cast<size_t>(lagLimit_) + 2, 0.0);
    work_.assign(static_cast<size_t>(window_), 0.0);
    // Estimated plans: measuring them takes over a second at 192 kHz, on every open.
    plans_ = std::make_unique<Plans>();
    plans_->signal = fftw_alloc_real(static_cast<size_t>(fftSize_));
    plans_->spectrum = fftw_alloc_complex(static_cast<size_t>(fftSize_ / 2 + 1));
    plans_->forward = fftw_plan_dft_r2c_1d(fftSize_, plans_->signal, plans_->spectrum, FFTW_ESTIMATE);
    plans_->backward = fftw_plan_dft_c2r_1d(fftSize_, plans_->spectrum, plans_->signal, FFTW_ESTIMATE);
    last_ = 0.0;
}

void PitchDetector::reset() {
    std::fill(history_.begin(), history_.end(), 0.0f);
    last_ = 0.0;
}

void PitchDetector::process(const float* samples, int32_t count) {
    if (window_ == 0 || count <= 0) return;
    if (count >= window_) {
        std::copy(samples + count - window_, samples + count, history_.begin());
        return;
    }
    std::memmove(history_.data(), history_.data() + count, static_cast<size_t>(window_ - count) * sizeof(float));
    std::copy(samples, samples + count, history_.end() - count);
}

std::optional<double> PitchDetector::analyse() {
    const std::optional<double> period = plans_ ? periodOfWindow() : std::nullopt;
    if (!period) {
        last_ = 0.0;
        return std::nullopt;
    }
    double frequency = sampleRate_ / *period;
    if (last_ > 0.0 && std::fabs(1200.0 * std::log2(frequency / last_)) < smoothingCents)
        frequency = std::sqrt(frequency * last_); // halfway, on the pitch scale
    last_ = frequency;
    return frequency;
}

double PitchDetector::squareDifference(const double* signal, int32_t w, int32_t lagLimit) {
    double* x = plans_->signal;
    energy_[0] = 0.0;
    for (int32_t j = 0; j < w; ++j) {
        x[j] = signal[j];
        energy_[static_cast<size_t>(j) + 1] = energy_[static_cast<size_t>(j)] + x[j] * x[j];
    }
    std::fill(x + w, x + fftSize_, 0.0);
    const double total = energy_[static_cast<size_t>(w)];

    // Autocorrelation: inverse transform of the power spectrum.
    fftw_execute(plans_->forward);
    for (int32_t k = 0; k <= fftSize_ / 2; ++k) {
        fftw_complex& c = plans_->spectrum[k];
        c[0] = c[0] * c[0] + c[1] * c[1];
        c[1] = 0.0;
    }
    fftw_execute(plans_->backward);

    // n(t) = 2 r(t) / m(t): m(t) the energy of x[0, w-t) plus that of x[t, w).
    // A decaying (or swelling) note scales n(t) by sech(t / T), T the envelope's
    // time constant, which pulls every maximum towards shorter lags: a sharp
    // reading. T from the energies of the two halves; the scaling undone.
    const double firstHalf = energy_[static_cast<size_t>(w / 2)], secondHalf = total - firstHalf;
    const double rate = firstHalf > 0.0 && secondHalf > 0.0 ? std::log(firstHalf / secondHalf) / (2.0 * (w / 2)) : 0.0;
    const double grow = std::exp(rate), shrink = 1.0 / grow, scale = 1.0 / fftSize_;
    double up = 1.0, down = 1.0; // e^(rate t), e^(-rate t): 2 cosh(rate t)
    for (int32_t t = 0; t <= lagLimit + 1; ++t) {
        const double m = energy_[static_cast<size_t>(w - t)] + total - energy_[static_cast<size_t>(t)];
        nsdf_[static_cast<size_t>(t)] = m > 0.0 ? scale * x[t] * (up + down) / m : 0.0;
        up *= grow;
        down *= shrink;
    }
    return total;
}

double PitchDetector::refine(double period, int32_t lagLimit) const {
    // The same sub-sample error at m periods is m times smaller in the period:
    // the furthest multiple that still shows a maximum near where it should be.
    const double* n = nsdf_.data();
    const int32_t reach = std::max<int32_t>(1, static_cast<int32_t>(period / 4.0));
    for (int32_t m = static_cast<int32_t>(std::floor((lagLimit - 1) / period)); m >= 1; --m) {
        const int32_t centre = static_cast<int32_t>(std::lround(m * period));
        int32_t at = centre;
        for (int32_t u = std::max(2, centre - reach); u <= std::min(lagLimit, centre + reach); ++u)
            if (n[u] > n[at]) at = u;
        if (at < 2 || at > lagLimit || n[at] < n[at - 1] || n[at] < n[at + 1]) continue;
        const double refined = (at + vertexOffset(n[at - 1], n[at], n[at + 1])) / m;
        if (std::fabs(refined - period) < 0.02 * period) return refined;
    }
    return period;
}

std::optional<double> PitchDetector::periodOfWindow() {
    // Only the sounding part: silence before a pluck or after a stop would add
    // energy to one side of the overlap only and pull the period short.
    float peak = 0.0f;
    for (float v : history_) peak = std::max(peak, std::fabs(v));
    const float audible = onsetShare * peak;
    int32_t from = 0, to = window_;
    while (from < to && std::fabs(history_[static_cast<size_t>(from)]) < audible) ++from;
    while (to > from && std::fabs(history_[static_cast<size_t>(to) - 1]) < audible) --to;
    const int32_t w = to - from;
    // Lags up to half the sounding part, so that at least as much overlaps.
    const int32_t maxLag = std::min(maxLag_, w / 2 - 1);
    const int32_t lagLimit = std::min(lagLimit_, w / 2);
    if (maxLag < minLag_ + 2) return std::nullopt;

    double* x = work_.data();
    double mean = 0.0;
    for (int32_t j = from; j < to; ++j) mean += history_[static_cast<size_t>(j)];
    mean /= w;
    double power = 0.0;
    for (int32_t j = 0; j < w; ++j) {
        x[j] = static_cast<double>(history_[static_cast<size_t>(from + j)]) - mean;
        power += x[j] * x[j];
    }
    power /= w;
    if (!(std::sqrt(2.0 * power) >= minimumAmplitude)) return std::nullopt;
    squareDifference(x, w, lagLimit);
    const double* n = nsdf_.data();

    // Key maxima: the highest point between each upward and the next downward
    // zero crossing, after the first downward one.
    struct Peak { int32_t lag; double value; };
    Peak peaks[512];
    int32_t count = 0;
    double best = 0.0;
    int32_t t = 1;
    while (t <= maxLag && n[t] > 0.0) ++t;
    while (t <= maxLag && count < 512) {
        while (t <= maxLag && n[t] <= 0.0) ++t;
        Peak top{0, 0.0};
        for (; t <= maxLag + 1 && n[t] > 0.0; ++t)
            if (n[t] > top.value) top = {t, n[t]};
        // A maximum at the end of the range is no maximum.
        if (top.lag >= minLag_ && top.lag <= maxLag && n[top.lag + 1] < top.value) {
            peaks[count++] = top;
            best = std::max(best, top.value);
        }
    }
    if (best < clarityMinimum) return std::nullopt;
    // The first strong maximum: a louder second harmonic makes a maximum at half
    // the period, but a clearly lower one.
    const Peak* chosen = std::find_if(peaks, peaks + count, [&](const Peak& p) { return p.value >= firstPeakShare * best; });
    const int32_t lag = chosen->lag;
    double period = lag + vertexOffset(n[lag - 1], n[lag], n[lag + 1]);
    if (sampleRate_ / period < lowestFrequency * 0.97 || sampleRate_ / period > highestFrequency * 1.03) return std::nullopt;

    // Two notes a simple interval apart repeat together at a common period, but
    // nothing sounds at its frequency; a single note's fundamental, weak as it
    // may be on a plucked string, is there. Its power, Hann-windowed, against the whole.
    // Both phasors turn by recurrence: no trigonometry per sample.
    const std::complex<double> turn = std::polar(1.0, -2.0 * M_PI / period), hannTurn = std::polar(1.0, 2.0 * M_PI / w);
    std::complex<double> phasor = 1.0, hannPhasor = std::polar(1.0, M_PI / w), sum = 0.0;
    double weights = 0.0;
    for (int32_t j = 0; j < w; ++j) {
        const double hann = 0.5 - 0.5 * hannPhasor.real();
        sum += hann * x[j] * phasor;
        weights += hann;
        phasor *= turn;
        hannPhasor *= hannTurn;
    }
    if (2.0 * std::norm(sum) / (weights * weights) < fundamentalShare * power) return std::nullopt;

    // Upper partials of a string run sharp (inharmonicity) and weigh in the more
    // the higher they are; the period is refined on the lowest ones alone, past
    // the filter's settling.
    const double cutoff = refineCutoff * sampleRate_ / period;
    const int32_t settle = static_cast<int32_t>(std::ceil(3.0 * sampleRate_ / cutoff));
    const int32_t filteredLimit = std::min(lagLimit_, (w - settle) / 2);
    if (cutoff < 0.4 * sampleRate_ && filteredLimit >= period + 2.0) {
        Biquad f, g; // fourth-order Butterworth; the sections a sample apart so their recurrences overlap
        f.designLowPass(sampleRate_, cutoff, 0.5412);
        g.designLowPass(sampleRate_, cutoff, 1.3066);
        double held = 0.0; // f's output of the previous sample, g's input now
        for (int32_t j = 0; j <= w; ++j) {
            const double in = j < w ? x[j] : 0.0;
            const double y = f.b0 * in + f.z1;
            f.z1 = f.b1 * in - f.a1 * y + f.z2;
            f.z2 = f.b2 * in - f.a2 * y;
            if (j > 0) {
                const double v = g.b0 * held + g.z1;
                g.z1 = g.b1 * held - g.a1 * v + g.z2;
                g.z2 = g.b2 * held - g.a2 * v;
                x[j - 1] = v;
            }
            held = y;
        }
        squareDifference(x + settle, w - settle, filteredLimit);
        return refine(period, filteredLimit);
    }
    return refine(period, lagLimit);
}

} // namespace corvena
