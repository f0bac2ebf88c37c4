#include "capture/ConvolverKernels.h"

namespace corvena {

ConvolverKernels avx2Kernels(); // ConvolverKernelsAvx2.cpp

namespace {

void headPortable(const float* reversed, int taps, const float* x, float* y, int count) {
    int i = 0;
    // Eight outputs at a time, taps outermost: the inner loop is one that any
    // compiler turns into vector code.
    for (; i + 8 <= count; i += 8) {
        float acc[8] = {};
        for (int j = 0; j < taps; ++j) {
            const float c = reversed[j];
            const float* v = x + i + j;
            for (int k = 0; k < 8; ++k) acc[k] += c * v[k];
        }
        for (int k = 0; k < 8; ++k) y[i + k] += acc[k];
    }
    for (; i < count; ++i) {
        float acc = 0.0f;
        for (int j = 0; j < taps; ++j) acc += reversed[j] * x[i + j];
        y[i] += acc;
    }
}

void multiplyAddPortable(const float* const* x, const float* const* h, int count, float* y, int bins) {
    // Blocks of bins small enough for the accumulator to stay in the first-level cache.
    constexpr int block = 512;
    float* yr = y;
    float* yi = y + bins;
    for (int b0 = 0; b0 < bins; b0 += block) {
        const int b1 = b0 + block < bins ? b0 + block : bins;
        for (int k = 0; k < count; ++k) {
            const float* xr = x[k];
            const float* xi = x[k] + bins;
            const float* hr = h[k];
            const float* hi = h[k] + bins;
            for (int b = b0; b < b1; ++b) {
                yr[b] += xr[b] * hr[b] - xi[b] * hi[b];
                yi[b] += xr[b] * hi[b] + xi[b] * hr[b];
            }
        }
    }
}

} // namespace

ConvolverKernels portableKernels() { return {headPortable, multiplyAddPortable}; }

bool avx2Available() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

ConvolverKernels bestKernels() { return avx2Available() ? avx2Kernels() : portableKernels(); }

} // namespace corvena
