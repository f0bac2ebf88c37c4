// The portable capture kernels (SSE2, which every x86-64 has; plain C++
// elsewhere) and the choice among the instruction sets.
#include "capture/CaptureKernels.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define CORVENA_CAPTURE_SSE2 1
#endif

namespace corvena::capture {
namespace {

#ifdef CORVENA_CAPTURE_SSE2
struct Vec {
    using T = __m128;
    static constexpr int N = 4;
    static constexpr int maxRows = 12;
    static constexpr int timeVectors(int rows) { return rows >= 8 ? 1 : rows >= 4 ? 2 : rows >= 3 ? 3 : 4; }
    static T zero() { return _mm_setzero_ps(); }
    static T set1(float x) { return _mm_set1_ps(x); }
    static T load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, T x) { _mm_storeu_ps(p, x); }
    static T bcast(const float* p) { return _mm_load1_ps(p); }
    static T fma(T a, T b, T c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
    static T add(T a, T b) { return _mm_add_ps(a, b); }
    static T sub(T a, T b) { return _mm_sub_ps(a, b); }
    static T mul(T a, T b) { return _mm_mul_ps(a, b); }
    static T min(T a, T b) { return _mm_min_ps(a, b); }
    static T max(T a, T b) { return _mm_max_ps(a, b); }
    static T abs(T a) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), a); }
    static T recip(T q) { return _mm_div_ps(_mm_set1_ps(1.0f), q); }
    static T div(T a, T b) { return _mm_div_ps(a, b); }
    static T round(T x) { return _mm_cvtepi32_ps(_mm_cvtps_epi32(x)); } // |x| < 2^31 here
    static T scale2(T x, T n) {
        return _mm_castsi128_ps(_mm_add_epi32(_mm_castps_si128(x), _mm_slli_epi32(_mm_cvtps_epi32(n), 23)));
    }
    static T copysign(T magnitude, T sign) {
        const T m = _mm_set1_ps(-0.0f);
        return _mm_or_ps(_mm_andnot_ps(m, magnitude), _mm_and_ps(m, sign));
    }
    static T selectLess(T a, T b, T yes, T no) {
        const T less = _mm_cmplt_ps(a, b);
        return _mm_or_ps(_mm_and_ps(less, yes), _mm_andnot_ps(less, no));
    }
};
#else
struct Vec {
    using T = float;
    static constexpr int N = 1;
    static constexpr int maxRows = 8;
    static constexpr int timeVectors(int rows) { return rows >= 8 ? 1 : rows >= 4 ? 2 : 4; }
    static T zero() { return 0.0f; }
    static T set1(float x) { return x; }
    static T load(const float* p) { return *p; }
    static void store(float* p, T x) { *p = x; }
    static T bcast(const float* p) { return *p; }
    static T fma(T a, T b, T c) { return a * b + c; }
    static T add(T a, T b) { return a + b; }
    static T sub(T a, T b) { return a - b; }
    static T mul(T a, T b) { return a * b; }
    static T min(T a, T b) { return a < b ? a : b; }
    static T max(T a, T b) { return a > b ? a : b; }
    static T abs(T a) { return a < 0.0f ? -a : a; }
    static T recip(T q) { return 1.0f / q; }
    static T div(T a, T b) { return a / b; }
    static T round(T x) { return std::nearbyint(x); }
    static T scale2(T x, T n) { return std::ldexp(x, int(n)); }
    static T copysign(T magnitude, T sign) { return std::copysign(magnitude, sign); }
    static T selectLess(T a, T b, T yes, T no) { return a < b ? yes : no; }
};
#endif

#include "capture/CaptureKernelsImpl.h"

constexpr Kernels kPortable = kernelsOf("portable");

bool named(const char* wanted, const char* name) { return wanted && std::strcmp(wanted, name) == 0; }

} // namespace

#if defined(__x86_64__) || defined(__i386__)
const Kernels& avx2Table();
const Kernels& avx512Table();
#endif

const Kernels& portableKernels() { return kPortable; }

const Kernels* avx2Kernels() {
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return &avx2Table();
#endif
    return nullptr;
}

const Kernels* avx512Kernels() {
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("fma"))
        return &avx512Table();
#endif
    return nullptr;
}

const Kernels& selectKernels() {
    const char* wanted = std::getenv("CORVENA_CAPTURE_KERNEL");
    if (named(wanted, "portable")) return kPortable;
    const Kernels* avx512 = avx512Kernels();
    const Kernels* avx2 = avx2Kernels();
    if (named(wanted, "avx2") && avx2) return *avx2;
    if (avx512) return *avx512;
    if (avx2) return *avx2;
    return kPortable;
}

} // namespace corvena::capture
