// Built with -mavx2 -mfma: called only where the processor has both.
#include "capture/ConvolverBlocking.h"
#include "capture/ConvolverKernels.h"

#include <immintrin.h>

namespace corvena {

namespace {

// `lanes` vectors of 8 outputs, kept in registers across all taps.
template <int lanes>
inline void headRun(const float* reversed, int taps, const float* x, float* y) {
    // Unrolled so that the accumulators live in registers, not on the stack.
    __m256 acc[lanes];
#pragma GCC unroll 8
    for (int k = 0; k < lanes; ++k) acc[k] = _mm256_setzero_ps();
    for (int j = 0; j < taps; ++j) {
        const __m256 c = _mm256_broadcast_ss(reversed + j);
#pragma GCC unroll 8
        for (int k = 0; k < lanes; ++k) acc[k] = _mm256_fmadd_ps(c, _mm256_loadu_ps(x + j + 8 * k), acc[k]);
    }
#pragma GCC unroll 8
    for (int k = 0; k < lanes; ++k) _mm256_storeu_ps(y + 8 * k, _mm256_add_ps(_mm256_loadu_ps(y + 8 * k), acc[k]));
}

void headAvx2(const float* reversed, int taps, const float* x, float* y, int count) {
    int i = 0;
    // Eight accumulators cover the latency of the fused multiply-adds.
    for (; i + 64 <= count; i += 64) headRun<8>(reversed, taps, x + i, y + i);
    for (; i + 16 <= count; i += 16) headRun<2>(reversed, taps, x + i, y + i);
    for (; i + 8 <= count; i += 8) headRun<1>(reversed, taps, x + i, y + i);
    for (; i < count; ++i) {
        __m256 acc = _mm256_setzero_ps();
        int j = 0;
        for (; j + 8 <= taps; j += 8) acc = _mm256_fmadd_ps(_mm256_loadu_ps(reversed + j), _mm256_loadu_ps(x + i + j), acc);
        __m128 s = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
        s = _mm_add_ps(s, _mm_movehl_ps(s, s));
        s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 1));
        float sum = _mm_cvtss_f32(s);
        for (; j < taps; ++j) sum += reversed[j] * x[i + j];
        y[i] += sum;
    }
}

// Products of `n` partitions added to y over bins [b0, b1), the sum held in
// registers across them: the accumulator is read and written once per n.
template <int n>
inline void multiplyAddRun(const float* const* x, const float* const* h, float* y, int bins, int b0, int b1) {
    for (int b = b0; b < b1; b += 8) {
        __m256 re = _mm256_loadu_ps(y + b), im = _mm256_loadu_ps(y + bins + b);
#pragma GCC unroll 4
        for (int k = 0; k < n; ++k) {
            const __m256 ar = _mm256_loadu_ps(x[k] + b), ai = _mm256_loadu_ps(x[k] + bins + b);
            const __m256 br = _mm256_loadu_ps(h[k] + b), bi = _mm256_loadu_ps(h[k] + bins + b);
            re = _mm256_fnmadd_ps(ai, bi, _mm256_fmadd_ps(ar, br, re));
            im = _mm256_fmadd_ps(ai, br, _mm256_fmadd_ps(ar, bi, im));
        }
        _mm256_storeu_ps(y + b, re);
        _mm256_storeu_ps(y + bins + b, im);
    }
}

void multiplyAddAvx2(const float* const* x, const float* const* h, int count, float* y, int bins) {
    forEachBinBlock(count, bins, [&](auto n, int k, int b0, int b1) {
        multiplyAddRun<decltype(n)::value>(x + k, h + k, y, bins, b0, b1);
    });
}

void splitAvx2(const float* c, float* re, float* im, int bins) {
    for (int b = 0; b < bins; b += 8) {
        const __m256 v0 = _mm256_loadu_ps(c + 2 * b), v1 = _mm256_loadu_ps(c + 2 * b + 8);
        // Within each half: r0 r1 r4 r5 | r2 r3 r6 r7, then the middle quarters swapped.
        const __m256 r = _mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0));
        const __m256 i = _mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1));
        _mm256_storeu_ps(re + b, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(r), 0xD8)));
        _mm256_storeu_ps(im + b, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(i), 0xD8)));
    }
}

void joinAvx2(const float* re, const float* im, float* c, int bins) {
    for (int b = 0; b < bins; b += 8) {
        const __m256 r = _mm256_loadu_ps(re + b), i = _mm256_loadu_ps(im + b);
        const __m256 lo = _mm256_unpacklo_ps(r, i), hi = _mm256_unpackhi_ps(r, i);
        _mm256_storeu_ps(c + 2 * b, _mm256_permute2f128_ps(lo, hi, 0x20));
        _mm256_storeu_ps(c + 2 * b + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
    }
}

void addAvx2(const float* x, float* y, int count) {
    int i = 0;
    for (; i + 8 <= count; i += 8) _mm256_storeu_ps(y + i, _mm256_add_ps(_mm256_loadu_ps(y + i), _mm256_loadu_ps(x + i)));
    for (; i < count; ++i) y[i] += x[i];
}

} // namespace

ConvolverKernels avx2Kernels() { return {headAvx2, multiplyAddAvx2, splitAvx2, joinAvx2, addAvx2}; }

} // namespace corvena
