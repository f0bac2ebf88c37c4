#include "dsp/Oversampler.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define CORVENA_OVERSAMPLER_SSE 1
#endif

namespace corvena {

namespace {
constexpr double pi = 3.14159265358979323846;
constexpr int32_t upGroup = 8;    // base-rate samples per interpolator step
constexpr int32_t downGroup = 16; // outputs per decimator step

int32_t roundUp(int32_t n, int32_t multiple) { return (n + multiple - 1) / multiple * multiple; }
} // namespace

void Oversampler::prepare(int32_t maxBlock) {
    double sum = 0.0;
    for (int32_t n = 0; n < tapCount; ++n) {
        const double x = 2.0 * pi * n / 63.0;
        const double window = 0.08 * std::cos(2.0 * x) + (0.42 - 0.5 * std::cos(x));
        const double t = (n - 31.5) * 0.23;
        const double sinc = std::fabs(t) < 1e-9 ? 1.0 : std::sin(pi * t) / (pi * t);
        const double h = sinc * 0.23 * window;
        taps[n] = static_cast<float>(h);
        sum += h;
    }
    for (float& tap : taps) tap = static_cast<float>(static_cast<double>(tap) / sum);

    const int32_t block = std::max<int32_t>(maxBlock, 0);
    oversampledBuffer.assign(static_cast<size_t>(block) * factor, 0.0f);
    chunk_ = std::max<int32_t>(block, downGroup);
    upLinear_.assign(static_cast<size_t>(15 + roundUp(chunk_, upGroup)), 0.0f);
    for (auto& phase : downPhases_) phase.assign(static_cast<size_t>(16 + roundUp(chunk_, downGroup)), 0.0f);
    reset();
}

void Oversampler::reset() {
    interpolatorHistory.fill(0.0f);
    decimatorHistory.fill(0.0f);
    interpolatorIndex = 0;
    decimatorIndex = 0;
}

void Oversampler::upsample(const float* input, float* output, int32_t n) {
    if (n < 1) return;
#if CORVENA_OVERSAMPLER_SSE
    if (chunk_ > 0) {
        for (int32_t done = 0; done < n; done += chunk_) {
            const int32_t count = std::min(chunk_, n - done);
            upsampleChunk(input + done, output + static_cast<size_t>(done) * factor, count);
        }
        return;
    }
#endif
    upsampleScalar(input, output, n);
}

void Oversampler::downsample(const float* input, float* output, int32_t n) {
    if (n < 1) return;
#if CORVENA_OVERSAMPLER_SSE
    if (chunk_ > 0) {
        for (int32_t done = 0; done < n; done += chunk_) {
            const int32_t count = std::min(chunk_, n - done);
            downsampleChunk(input + static_cast<size_t>(done) * factor, output + done, count);
        }
        return;
    }
#endif
    downsampleScalar(input, output, n);
}

// The plain form: one sample at a time through the rings.
void Oversampler::upsampleScalar(const float* input, float* output, int32_t n) {
    for (int32_t m = 0; m < n; ++m) {
        interpolatorHistory[interpolatorIndex] = input[m];
        for (int32_t p = 0; p < factor; ++p) {
            float sum = 0.0f;
            for (int32_t k = 0; k < 16; ++k) sum += taps[4 * k + p] * interpolatorHistory[(interpolatorIndex - k) & 15];
            output[factor * m + p] = 4.0f * sum;
        }
        interpolatorIndex = (interpolatorIndex + 1) & 15;
    }
}

void Oversampler::downsampleScalar(const float* input, float* output, int32_t n) {
    for (int32_t j = 0; j < factor * n; ++j) {
        decimatorHistory[decimatorIndex] = input[j];
        decimatorIndex = (decimatorIndex + 1) & 63;
        if (j % factor == 3) {
            float sum = 0.0f;
            for (int32_t t = 0; t < tapCount; ++t) sum += taps[t] * decimatorHistory[(decimatorIndex - 1 - t) & 63];
            output[j / factor] = sum;
        }
    }
}

#if CORVENA_OVERSAMPLER_SSE
// Vectorised over neighbouring outputs, never within one sum: every output is
// still the same sequence of single-precision products and additions in tap
// order as the plain form, so the results are identical to the last bit.
void Oversampler::upsampleChunk(const float* input, float* output, int32_t n) {
    float* linear = upLinear_.data(); // linear[15 + m] = x[m], linear[15 - k] = x[-k]
    for (int32_t k = 1; k <= 15; ++k) linear[15 - k] = interpolatorHistory[(interpolatorIndex - k) & 15];
    std::copy(input, input + n, linear + 15);
    const int32_t padded = roundUp(n, upGroup);
    std::fill(linear + 15 + n, linear + 15 + padded, 0.0f);

    for (int32_t m0 = 0; m0 < padded; m0 += upGroup) {
        __m128 acc[2][4];
        for (auto& group : acc)
            for (auto& a : group) a = _mm_setzero_ps();
        for (int32_t k = 0; k < 16; ++k) {
            const __m128 x0 = _mm_loadu_ps(linear + 15 + m0 - k);
            const __m128 x1 = _mm_loadu_ps(linear + 15 + m0 + 4 - k);
            for (int32_t p = 0; p < factor; ++p) {
                const __m128 h = _mm_set1_ps(taps[4 * k + p]);
                acc[0][p] = _mm_add_ps(acc[0][p], _mm_mul_ps(h, x0));
                acc[1][p] = _mm_add_ps(acc[1][p], _mm_mul_ps(h, x1));
            }
        }
        const __m128 four = _mm_set1_ps(4.0f);
        for (int32_t g = 0; g < 2; ++g) {
            __m128 r0 = _mm_mul_ps(acc[g][0], four), r1 = _mm_mul_ps(acc[g][1], four);
            __m128 r2 = _mm_mul_ps(acc[g][2], four), r3 = _mm_mul_ps(acc[g][3], four);
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3); // rows now hold the four phases of one sample
            const __m128 rows[4] = {r0, r1, r2, r3};
            for (int32_t i = 0; i < 4; ++i) {
                const int32_t m = m0 + 4 * g + i;
                if (m < n) _mm_storeu_ps(output + static_cast<size_t>(m) * factor, rows[i]);
            }
        }
    }

    const int32_t skip = std::max<int32_t>(n - 16, 0);
    interpolatorIndex = (interpolatorIndex + skip) & 15;
    for (int32_t m = skip; m < n; ++m) {
        interpolatorHistory[interpolatorIndex] = linear[15 + m];
        interpolatorIndex = (interpolatorIndex + 1) & 15;
    }
}

void Oversampler::downsampleChunk(const float* input, float* output, int32_t n) {
    // Phase r holds every fourth sample of history-then-block:
    // phase[r][q] = e[4 q + r] with e[63 - k] = u[-1 - k] and e[64 + j] = u[j].
    float* phase[factor] = {downPhases_[0].data(), downPhases_[1].data(), downPhases_[2].data(),
                            downPhases_[3].data()};
    for (int32_t i = 0; i < tapCount; ++i) {
        const int32_t e = 63 - i;
        phase[e & 3][e >> 2] = decimatorHistory[(decimatorIndex - 1 - i) & 63];
    }
    for (int32_t q = 0; q < n; ++q)
        for (int32_t r = 0; r < factor; ++r) phase[r][16 + q] = input[factor * q + r];
    const int32_t padded = roundUp(n, downGroup);
    for (int32_t r = 0; r < factor; ++r) std::fill(phase[r] + 16 + n, phase[r] + 16 + padded, 0.0f);

    // output[o] = sum over t of h[t] * e[67 + 4 o - t]
    for (int32_t o0 = 0; o0 < padded; o0 += downGroup) {
        __m128 acc0 = _mm_setzero_ps(), acc1 = _mm_setzero_ps(), acc2 = _mm_setzero_ps(), acc3 = _mm_setzero_ps();
        for (int32_t t = 0; t < tapCount; ++t) {
            const int32_t s = 67 - t;
            const float* base = phase[s & 3] + o0 + (s >> 2);
            const __m128 h = _mm_set1_ps(taps[t]);
            acc0 = _mm_add_ps(acc0, _mm_mul_ps(h, _mm_loadu_ps(base)));
            acc1 = _mm_add_ps(acc1, _mm_mul_ps(h, _mm_loadu_ps(base + 4)));
            acc2 = _mm_add_ps(acc2, _mm_mul_ps(h, _mm_loadu_ps(base + 8)));
            acc3 = _mm_add_ps(acc3, _mm_mul_ps(h, _mm_loadu_ps(base + 12)));
        }
        if (o0 + downGroup <= n) {
            _mm_storeu_ps(output + o0, acc0);
            _mm_storeu_ps(output + o0 + 4, acc1);
            _mm_storeu_ps(output + o0 + 8, acc2);
            _mm_storeu_ps(output + o0 + 12, acc3);
        } else {
            alignas(16) float lanes[downGroup];
            _mm_store_ps(lanes, acc0);
            _mm_store_ps(lanes + 4, acc1);
            _mm_store_ps(lanes + 8, acc2);
            _mm_store_ps(lanes + 12, acc3);
            for (int32_t i = 0; o0 + i < n; ++i) output[o0 + i] = lanes[i];
        }
    }

    const int32_t total = factor * n;
    const int32_t skip = std::max<int32_t>(total - tapCount, 0);
    decimatorIndex = (decimatorIndex + skip) & 63;
    for (int32_t j = skip; j < total; ++j) {
        decimatorHistory[decimatorIndex] = phase[j & 3][16 + (j >> 2)];
        decimatorIndex = (decimatorIndex + 1) & 63;
    }
}
#else
void Oversampler::upsampleChunk(const float* input, float* output, int32_t n) { upsampleScalar(input, output, n); }
void Oversampler::downsampleChunk(const float* input, float* output, int32_t n) { downsampleScalar(input, output, n); }
#endif

} // namespace corvena
