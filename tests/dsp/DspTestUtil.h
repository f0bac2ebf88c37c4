#pragma once
#include "dsp/Biquad.h"

#include <cmath>
#include <complex>
#include <vector>

namespace corvena::test {

constexpr double kPi = 3.14159265358979323846;

// Magnitude response of a section at frequency f (Hz), from its coefficients.
inline double magnitudeAt(const Biquad& s, double sampleRate, double f) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * f / sampleRate);
    const std::complex<double> z2 = z1 * z1;
    return std::abs((s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2));
}

inline std::vector<float> sine(size_t count, double frequency, double sampleRate, float amplitude) {
    std::vector<float> out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = amplitude * static_cast<float>(std::sin(2.0 * kPi * frequency * static_cast<double>(i) / sampleRate));
    return out;
}

// Amplitude of the component at frequency f over the whole buffer (single DFT bin).
inline double componentAmplitude(const std::vector<float>& x, double frequency, double sampleRate) {
    std::complex<double> acc = 0.0;
    for (size_t i = 0; i < x.size(); ++i)
        acc += static_cast<double>(x[i]) * std::polar(1.0, -2.0 * kPi * frequency * static_cast<double>(i) / sampleRate);
    return 2.0 * std::abs(acc) / static_cast<double>(x.size());
}

inline bool allFinite(const float* x, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!std::isfinite(x[i])) return false;
    return true;
}

} // namespace corvena::test
