#pragma once
// Signals and measures of them shared by the tests.
#include <algorithm>
#include <cmath>
#include <vector>

namespace corvena::test {

inline std::vector<float> sine(size_t n, double frequency, float amplitude, double rate = 48000.0) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * frequency * i / rate));
    return v;
}

inline bool allFinite(const float* x, size_t n) {
    return std::all_of(x, x + n, [](float v) { return std::isfinite(v); });
}

inline float peakOf(const std::vector<float>& v) {
    float peak = 0.0f;
    for (float x : v) peak = std::max(peak, std::fabs(x));
    return peak;
}

// From the rising zero crossings.
inline double frequencyOf(const std::vector<float>& v, double rate = 48000.0) {
    int crossings = 0;
    size_t first = 0, last = 0;
    for (size_t i = 1; i < v.size(); ++i)
        if (v[i - 1] < 0.0f && v[i] >= 0.0f) (crossings++ == 0 ? first : last) = i;
    return crossings < 2 ? 0.0 : (crossings - 1) * rate / static_cast<double>(last - first);
}

// Share of the energy that is not a sine at `frequency` (whole periods in `v`):
// 0 for a clean sine, clearly above once something added harmonics.
inline double harmonicShare(const std::vector<float>& v, double frequency, double rate = 48000.0) {
    double s = 0, c = 0, total = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        const double w = 2.0 * M_PI * frequency * static_cast<double>(i) / rate;
        s += v[i] * std::sin(w);
        c += v[i] * std::cos(w);
        total += static_cast<double>(v[i]) * v[i];
    }
    return total > 0 ? std::max(0.0, 1.0 - 2.0 * (s * s + c * c) / static_cast<double>(v.size()) / total) : 0.0;
}

} // namespace corvena::test
