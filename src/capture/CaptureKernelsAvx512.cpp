// The capture kernels for AVX-512 (F, VL, DQ) with FMA: 16 lanes, 32 registers.
#include "capture/CaptureKernels.h"

#include <cstring>

#include <immintrin.h>

// GCC 12 takes the undefined first operand inside its min, max and rcp14
// intrinsics for an uninitialised variable.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace corvena::capture {
namespace {

struct Vec {
    using T = __m512;
    static constexpr int N = 16;
    static constexpr int maxRows = 8;
    // Accumulators plus one input register per time vector stay within 32
    // (the weights are broadcast from memory straight into the FMA). Eight rows
    // by three vectors beat sixteen by one: 11 loads feed 24 FMAs instead of 17
    // feeding 16 (measured 118x against 107x real time on the A1 standard).
    static constexpr int timeVectors(int rows) { return rows >= 16 ? 1 : rows >= 12 ? 2 : rows >= 8 ? 3 : 4; }
    static T zero() { return _mm512_setzero_ps(); }
    static T set1(float x) { return _mm512_set1_ps(x); }
    static T load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, T x) { _mm512_storeu_ps(p, x); }
    static T bcast(const float* p) { return _mm512_set1_ps(*p); }
    static T fma(T a, T b, T c) { return _mm512_fmadd_ps(a, b, c); }
    static T add(T a, T b) { return _mm512_add_ps(a, b); }
    static T sub(T a, T b) { return _mm512_sub_ps(a, b); }
    static T mul(T a, T b) { return _mm512_mul_ps(a, b); }
    static T min(T a, T b) { return _mm512_min_ps(a, b); }
    static T max(T a, T b) { return _mm512_max_ps(a, b); }
    static T abs(T a) { return _mm512_abs_ps(a); }
    // 14-bit estimate and one Newton step: about 1e-8 relative.
    static T recip(T q) {
        const T r = _mm512_rcp14_ps(q);
        return _mm512_mul_ps(r, _mm512_fnmadd_ps(q, r, _mm512_set1_ps(2.0f)));
    }
    static T div(T a, T b) { return _mm512_div_ps(a, b); }
    static T round(T x) { return _mm512_roundscale_ps(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
    static T scale2(T x, T n) { return _mm512_scalef_ps(x, n); } // x * 2^n
    static T copysign(T magnitude, T sign) {
        const T m = _mm512_set1_ps(-0.0f);
        return _mm512_or_ps(_mm512_andnot_ps(m, magnitude), _mm512_and_ps(m, sign));
    }
    static T selectLess(T a, T b, T yes, T no) { return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(a, b, _CMP_LT_OQ), no, yes); }
};

#include "capture/CaptureKernelsImpl.h"

constexpr Kernels kAvx512 = kernelsOf("avx512");

} // namespace

const Kernels& avx512Table() { return kAvx512; }

} // namespace corvena::capture
