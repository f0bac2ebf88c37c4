#pragma once
// The convolver's inner loops. Each exists twice: built for AVX2 and FMA
// (ConvolverKernelsAvx2.cpp) and portably (SSE2, which any x86-64 has; plain
// C++ elsewhere); the convolver picks one set when it is prepared.

namespace corvena {

struct ConvolverKernels {
    // y[i] += sum over j < taps of reversed[j] * x[i + j], for i < count:
    // the direct-form head, `reversed` the first taps in reverse order.
    void (*head)(const float* reversed, int taps, const float* x, float* y, int count);
    // y += sum over k < count of x[k] * h[k]: complex spectra in split form, the
    // real parts of `bins` values (a multiple of 8) followed by the imaginary ones.
    void (*multiplyAdd)(const float* const* x, const float* const* h, int count, float* y, int bins);
    // Interleaved complex values (FFTW's) to split form and back; `bins` a multiple of 8.
    void (*split)(const float* interleaved, float* re, float* im, int bins);
    void (*join)(const float* re, const float* im, float* interleaved, int bins);
    // y += x.
    void (*add)(const float* x, float* y, int count);
};

ConvolverKernels portableKernels();
// The AVX2 set where the processor has AVX2 and FMA, else the portable one.
ConvolverKernels bestKernels();
bool avx2Available();

} // namespace corvena
