#include "dsp/Waveshaper.h"

#include <cmath>

namespace corvena {
namespace {
constexpr float bias = 0.05f;
}
} // namespace corvena

// The vector paths use GCC's per-function target pragmas; other compilers
// (clang for the fuzzer) take the scalar path.
#if defined(CORVENA_HAVE_SLEEF) && defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>

// The wider versions are compiled for their instruction sets here and chosen
// at run time, so the build itself stays generic x86-64. Multiply and add stay
// separate operations (no contraction), as in the scalar form.
extern "C" __m128 Sleef_tanhf4_u10(__m128);

#pragma GCC push_options
#pragma GCC target("avx2,fma")
extern "C" __m256 Sleef_tanhf8_u10avx2(__m256);
namespace corvena {
namespace {
void shape8(bool drive, float* buffer, int32_t count) {
    int32_t i = 0;
    if (drive) {
        const __m256 scale = _mm256_set1_ps(1.5f), b = _mm256_set1_ps(bias);
        const __m256 offset = Sleef_tanhf8_u10avx2(b); // same function as the samples: f(0) is exactly 0
        for (; i + 8 <= count; i += 8) {
            const __m256 inner = Sleef_tanhf8_u10avx2(_mm256_loadu_ps(buffer + i));
            const __m256 outer = Sleef_tanhf8_u10avx2(_mm256_add_ps(_mm256_mul_ps(scale, inner), b));
            _mm256_storeu_ps(buffer + i, _mm256_sub_ps(outer, offset));
        }
    } else {
        for (; i + 8 <= count; i += 8) _mm256_storeu_ps(buffer + i, Sleef_tanhf8_u10avx2(_mm256_loadu_ps(buffer + i)));
    }
    if (i < count) { // the last few samples, through a zero-padded full vector
        alignas(32) float tail[8] = {};
        for (int32_t j = i; j < count; ++j) tail[j - i] = buffer[j];
        shape8(drive, tail, 8);
        for (int32_t j = i; j < count; ++j) buffer[j] = tail[j - i];
    }
}
} // namespace
} // namespace corvena
#pragma GCC pop_options


namespace corvena {
namespace {
void shape4(bool drive, float* buffer, int32_t count) {
    int32_t i = 0;
    if (drive) {
        const __m128 scale = _mm_set1_ps(1.5f), b = _mm_set1_ps(bias);
        const __m128 offset = Sleef_tanhf4_u10(b);
        for (; i + 4 <= count; i += 4) {
            const __m128 inner = Sleef_tanhf4_u10(_mm_loadu_ps(buffer + i));
            const __m128 outer = Sleef_tanhf4_u10(_mm_add_ps(_mm_mul_ps(scale, inner), b));
            _mm_storeu_ps(buffer + i, _mm_sub_ps(outer, offset));
        }
    } else {
        for (; i + 4 <= count; i += 4) _mm_storeu_ps(buffer + i, Sleef_tanhf4_u10(_mm_loadu_ps(buffer + i)));
    }
    if (i < count) { // only for counts that are not a multiple of four; the amp never makes them
        alignas(16) float tail[4] = {};
        for (int32_t j = i; j < count; ++j) tail[j - i] = buffer[j];
        shape4(drive, tail, 4);
        for (int32_t j = i; j < count; ++j) buffer[j] = tail[j - i];
    }
}
} // namespace

Waveshaper::Waveshaper() {
    __builtin_cpu_init(); // may run during static initialisation, before libgcc's own
    width_ = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? 8 : 4;
}

void Waveshaper::process(bool drive, float* buffer, int32_t count) const {
    if (width_ == 8)
        shape8(drive, buffer, count);
    else
        shape4(drive, buffer, count);
}
} // namespace corvena

#else

namespace corvena {
namespace {
void shapeScalar(bool drive, float* buffer, int32_t count) {
    if (drive) {
        // Through the run-time tanhf like the samples (a folded constant may
        // differ in the last place), so f(0) is exactly 0.
        volatile float runTimeBias = bias;
        const float offset = std::tanh(static_cast<float>(runTimeBias));
        for (int32_t i = 0; i < count; ++i) buffer[i] = std::tanh(1.5f * std::tanh(buffer[i]) + bias) - offset;
    } else {
        for (int32_t i = 0; i < count; ++i) buffer[i] = std::tanh(buffer[i]);
    }
}
} // namespace

Waveshaper::Waveshaper() = default;
void Waveshaper::process(bool drive, float* buffer, int32_t count) const { shapeScalar(drive, buffer, count); }
} // namespace corvena

#endif
