// The capture kernels for AVX2 with FMA: 8 lanes, 16 registers.
#include "capture/CaptureKernels.h"

#include <cstring>

#include <immintrin.h>

namespace corvena::capture {
namespace {

struct Vec {
    using T = __m256;
    static constexpr int N = 8;
    static constexpr int maxRows = 4;
    // Accumulators, one input register per time vector and the broadcast weight
    // within 16: four rows by three vectors (7 loads for 12 FMAs) ran 12% faster
    // than eight rows by one (9 loads for 8 FMAs).
    static constexpr int timeVectors(int rows) { return rows >= 4 ? 3 : 4; }
    static T zero() { return _mm256_setzero_ps(); }
    static T set1(float x) { return _mm256_set1_ps(x); }
    static T load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, T x) { _mm256_storeu_ps(p, x); }
    static T bcast(const float* p) { return _mm256_broadcast_ss(p); }
    static T fma(T a, T b, T c) { return _mm256_fmadd_ps(a, b, c); }
    static T add(T a, T b) { return _mm256_add_ps(a, b); }
    static T sub(T a, T b) { return _mm256_sub_ps(a, b); }
    static T mul(T a, T b) { return _mm256_mul_ps(a, b); }
    static T min(T a, T b) { return _mm256_min_ps(a, b); }
    static T max(T a, T b) { return _mm256_max_ps(a, b); }
    static T abs(T a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
    // 12-bit estimate and one Newton step: about 1e-7 relative.
    static T recip(T q) {
        const T r = _mm256_rcp_ps(q);
        return _mm256_mul_ps(r, _mm256_fnmadd_ps(q, r, _mm256_set1_ps(2.0f)));
    }
    static T div(T a, T b) { return _mm256_div_ps(a, b); }
    static T round(T x) { return _mm256_round_ps(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
    static T scale2(T x, T n) { // x * 2^n for integral n that keeps the result normal
        return _mm256_castsi256_ps(_mm256_add_epi32(_mm256_castps_si256(x), _mm256_slli_epi32(_mm256_cvtps_epi32(n), 23)));
    }
    static T copysign(T magnitude, T sign) {
        const T m = _mm256_set1_ps(-0.0f);
        return _mm256_or_ps(_mm256_andnot_ps(m, magnitude), _mm256_and_ps(m, sign));
    }
    static T selectLess(T a, T b, T yes, T no) { return _mm256_blendv_ps(no, yes, _mm256_cmp_ps(a, b, _CMP_LT_OQ)); }
};

#include "capture/CaptureKernelsImpl.h"

constexpr Kernels kAvx2 = kernelsOf("avx2");

} // namespace

const Kernels& avx2Table() { return kAvx2; }

} // namespace corvena::capture
