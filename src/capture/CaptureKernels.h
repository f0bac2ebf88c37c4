#pragma once
// The arithmetic of capture networks, one implementation per instruction set:
// a portable one (any x86-64, and plain C++ elsewhere), AVX2+FMA and AVX-512.
// Which one runs is chosen once on the control thread when a network is made.
//
// Signals are channel-major: each channel is a run of floats in time. Every
// buffer handed to a kernel is readable and writable up to the next multiple
// of kPad frames past n; the kernels compute those padding frames too (with
// values nobody reads), so that no kernel has a scalar tail.
#include <cstddef>
#include <cstdint>

namespace corvena::capture {

constexpr int32_t kPad = 16;
inline int32_t padded(int32_t n) { return (n + kPad - 1) / kPad * kPad; }

enum class ActivationKind : uint8_t {
    Tanh, Hardtanh, ReLU, LeakyReLU, PReLU, Sigmoid, SiLU, Hardswish, Softsign, LeakyHardtanh, Fasttanh
};

struct Activation {
    ActivationKind kind = ActivationKind::Tanh;
    // LeakyReLU / PReLU: a = slope. LeakyHardtanh: a, b = min, max; c, d = their slopes.
    float a = 0.01f, b = 1.0f, c = 0.01f, d = 0.01f;
    const float* slopes = nullptr; // PReLU with one slope per channel (row)
};

// out[r][t] = bias[r] + sum_j weights[j * rows + r] * in[j][t]  (+ residual[r][t]),
// for r < rows and t < n. With `tanhSkip` the result goes through tanh and is
// also added into skip[r][t].
struct Gemm {
    const float* const* in = nullptr;
    int32_t inner = 0;
    const float* weights = nullptr; // inner x rows, each input's column contiguous
    const float* bias = nullptr;    // rows, or none
    int32_t rows = 0;
    float* out = nullptr;
    ptrdiff_t outStride = 0;
    const float* residual = nullptr;
    ptrdiff_t residualStride = 0;
    float* skip = nullptr;
    ptrdiff_t skipStride = 0;
    bool tanhSkip = false;
};

// A stack of LSTM layers with the layout the kernel's lane count asks for:
// each gate (i, f, g, o) padded to `hp` = hidden rounded up to the lanes.
struct Lstm {
    int32_t layers = 0;
    int32_t hidden = 0;
    int32_t hp = 0;
    // Per layer: weights[col][gate][hp] for col < inputs + hidden (inputs 1 for
    // the first layer, else hidden), then bias[gate][hp].
    const float* const* weights = nullptr;
    float* const* h = nullptr; // per layer, hp values (padding stays zero)
    float* const* c = nullptr;
    const float* outWeights = nullptr; // hidden
    float outBias = 0.0f;
};

struct Kernels {
    const char* name;
    int32_t lanes;
    void (*gemm)(const Gemm& g, int32_t n);
    // rows[r][t] = f(rows[r][t]).
    void (*activate)(const Activation& f, float* rows, ptrdiff_t stride, int32_t count, int32_t n);
    // z[r][t] = f(z[r][t]) * sigmoid(z[half + r][t]) for r < half.
    void (*gate)(const Activation& f, float* z, ptrdiff_t stride, int32_t half, int32_t n);
    // dst[r][t] += src[r][t].
    void (*accumulate)(float* dst, ptrdiff_t dstStride, const float* src, ptrdiff_t srcStride, int32_t count,
                       int32_t n);
    // One sample after the other; input and output may be the same buffer.
    void (*lstm)(const Lstm& m, const float* input, float* output, int32_t n);
};

const Kernels& portableKernels();
const Kernels* avx2Kernels();   // null when the processor lacks AVX2 and FMA
const Kernels* avx512Kernels(); // null when the processor or the build lacks AVX-512
// The fastest the processor runs, unless CORVENA_CAPTURE_KERNEL names one
// (portable, avx2 or avx512) that it runs. Control thread.
const Kernels& selectKernels();

} // namespace corvena::capture
