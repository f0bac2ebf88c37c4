#include "capture/ConvolverBlocking.h"
#include "capture/ConvolverKernels.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace corvena {

ConvolverKernels avx2Kernels(); // ConvolverKernelsAvx2.cpp

namespace {

#if defined(__SSE2__) || defined(_M_X64)
// SSE2, which every x86-64 processor has.

template <int lanes>
inline void headRun(const float* reversed, int taps, const float* x, float* y) {
    __m128 acc[lanes];
#pragma GCC unroll 8
    for (int k = 0; k < lanes; ++k) acc[k] = _mm_setzero_ps();
    for (int j = 0; j < taps; ++j) {
        const __m128 c = _mm_set1_ps(reversed[j]);
#pragma GCC unroll 8
        for (int k = 0; k < lanes; ++k) acc[k] = _mm_add_ps(acc[k], _mm_mul_ps(c, _mm_loadu_ps(x + j + 4 * k)));
    }
#pragma GCC unroll 8
    for (int k = 0; k < lanes; ++k) _mm_storeu_ps(y + 4 * k, _mm_add_ps(_mm_loadu_ps(y + 4 * k), acc[k]));
}

void headPortable(const float* reversed, int taps, const float* x, float* y, int count) {
    int i = 0;
    for (; i + 32 <= count; i += 32) headRun<8>(reversed, taps, x + i, y + i);
    for (; i + 4 <= count; i += 4) headRun<1>(reversed, taps, x + i, y + i);
    for (; i < count; ++i) {
        float acc = 0.0f;
        for (int j = 0; j < taps; ++j) acc += reversed[j] * x[i + j];
        y[i] += acc;
    }
}

template <int n>
inline void multiplyAddRun(const float* const* x, const float* const* h, float* y, int bins, int b0, int b1) {
    for (int b = b0; b < b1; b += 4) {
        __m128 re = _mm_loadu_ps(y + b), im = _mm_loadu_ps(y + bins + b);
#pragma GCC unroll 4
        for (int k = 0; k < n; ++k) {
            const __m128 ar = _mm_loadu_ps(x[k] + b), ai = _mm_loadu_ps(x[k] + bins + b);
            const __m128 br = _mm_loadu_ps(h[k] + b), bi = _mm_loadu_ps(h[k] + bins + b);
            re = _mm_add_ps(re, _mm_sub_ps(_mm_mul_ps(ar, br), _mm_mul_ps(ai, bi)));
            im = _mm_add_ps(im, _mm_add_ps(_mm_mul_ps(ar, bi), _mm_mul_ps(ai, br)));
        }
        _mm_storeu_ps(y + b, re);
        _mm_storeu_ps(y + bins + b, im);
    }
}

void multiplyAddPortable(const float* const* x, const float* const* h, int count, float* y, int bins) {
    forEachBinBlock(count, bins, [&](auto n, int k, int b0, int b1) {
        multiplyAddRun<decltype(n)::value>(x + k, h + k, y, bins, b0, b1);
    });
}

void splitPortable(const float* c, float* re, float* im, int bins) {
    for (int b = 0; b < bins; b += 4) {
        const __m128 v0 = _mm_loadu_ps(c + 2 * b), v1 = _mm_loadu_ps(c + 2 * b + 4);
        _mm_storeu_ps(re + b, _mm_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm_storeu_ps(im + b, _mm_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1)));
    }
}

void joinPortable(const float* re, const float* im, float* c, int bins) {
    for (int b = 0; b < bins; b += 4) {
        const __m128 r = _mm_loadu_ps(re + b), i = _mm_loadu_ps(im + b);
        _mm_storeu_ps(c + 2 * b, _mm_unpacklo_ps(r, i));
        _mm_storeu_ps(c + 2 * b + 4, _mm_unpackhi_ps(r, i));
    }
}

void addPortable(const float* x, float* y, int count) {
    int i = 0;
    for (; i + 4 <= count; i += 4) _mm_storeu_ps(y + i, _mm_add_ps(_mm_loadu_ps(y + i), _mm_loadu_ps(x + i)));
    for (; i < count; ++i) y[i] += x[i];
}

#else
// Plain C++ for other processors.

void headPortable(const float* reversed, int taps, const float* x, float* y, int count) {
    for (int i = 0; i < count; ++i) {
        float acc = 0.0f;
        for (int j = 0; j < taps; ++j) acc += reversed[j] * x[i + j];
        y[i] += acc;
    }
}

void multiplyAddPortable(const float* const* x, const float* const* h, int count, float* y, int bins) {
    for (int k = 0; k < count; ++k)
        for (int b = 0; b < bins; ++b) {
            const float ar = x[k][b], ai = x[k][bins + b], br = h[k][b], bi = h[k][bins + b];
            y[b] += ar * br - ai * bi;
            y[bins + b] += ar * bi + ai * br;
        }
}

void splitPortable(const float* c, float* re, float* im, int bins) {
    for (int b = 0; b < bins; ++b) re[b] = c[2 * b], im[b] = c[2 * b + 1];
}

void joinPortable(const float* re, const float* im, float* c, int bins) {
    for (int b = 0; b < bins; ++b) c[2 * b] = re[b], c[2 * b + 1] = im[b];
}

void addPortable(const float* x, float* y, int count) {
    for (int i = 0; i < count; ++i) y[i] += x[i];
}
#endif

} // namespace

ConvolverKernels portableKernels() {
    return {headPortable, multiplyAddPortable, splitPortable, joinPortable, addPortable};
}

bool avx2Available() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

ConvolverKernels bestKernels() { return avx2Available() ? avx2Kernels() : portableKernels(); }

} // namespace corvena
