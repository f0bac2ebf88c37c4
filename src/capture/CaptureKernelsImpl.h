// The kernels of CaptureKernels.h written once over a vector type `Vec`.
//
// Included by each instruction-set unit INSIDE an anonymous namespace, after
// that unit has defined `Vec` and included CaptureKernels.h and <cstring>.
// Everything here then has internal linkage, so no function built for one
// instruction set can stand in for another's at link time. For the same
// reason nothing here instantiates a template of the standard library.
//
// Vec provides: T, N (lanes), maxRows (the most output rows in one register
// tile), timeVectors(rows) (its width), zero, set1, load/store (unaligned),
// bcast(const float*), fma(a, b, c) = a*b + c, add, sub, mul, div, min, max,
// abs, recip (to ~1e-7), round (to nearest), scale2(x, n) = x*2^n,
// copysign(magnitude, sign) and selectLess(a, b, yes, no) = a < b ? yes : no.

using V = typename Vec::T;

#define CORVENA_UNROLL _Pragma("GCC unroll 16")

// tanh(x) = x·P(x²)/Q(x²) on |x| <= 9, a rational fit of relative error 2e-8;
// past 9 tanh is 1 in float. Well conditioned: every coefficient is positive.
constexpr float kP0 = 0.99999997964449684f, kP1 = 0.13380971738079136f, kP2 = 0.0034955230959917901f,
                kP3 = 2.060798804309761e-5f, kP4 = 1.3353128750359649e-8f;
constexpr float kQ1 = 0.46714287405797658f, kQ2 = 0.025876737218994286f, kQ3 = 0.00032855272206932124f,
                kQ4 = 7.7759330402302506e-7f;

inline V vtanh(V x) {
    x = Vec::min(Vec::max(x, Vec::set1(-9.0f)), Vec::set1(9.0f));
    const V s = Vec::mul(x, x);
    V p = Vec::fma(Vec::set1(kP4), s, Vec::set1(kP3));
    V q = Vec::fma(Vec::set1(kQ4), s, Vec::set1(kQ3));
    p = Vec::fma(p, s, Vec::set1(kP2));
    q = Vec::fma(q, s, Vec::set1(kQ2));
    p = Vec::fma(p, s, Vec::set1(kP1));
    q = Vec::fma(q, s, Vec::set1(kQ1));
    p = Vec::fma(p, s, Vec::set1(kP0));
    q = Vec::fma(q, s, Vec::set1(1.0f));
    return Vec::mul(Vec::mul(x, p), Vec::recip(q));
}

// exp(-a) for a >= 0 to about 2 units in the last place: 2^n times the
// degree-7 Taylor polynomial on |r| <= ln2/2 (truncation 5e-9), ln 2 split in
// two. The polynomial goes in Estrin's order: the LSTM waits on its latency.
inline V vexpNegative(V a) {
    a = Vec::min(a, Vec::set1(80.0f));
    const V n = Vec::round(Vec::mul(a, Vec::set1(-1.44269504088896341f)));
    V r = Vec::fma(n, Vec::set1(-0.693145751953125f), Vec::sub(Vec::zero(), a));
    r = Vec::fma(n, Vec::set1(-1.428606765330187045e-6f), r);
    const V r2 = Vec::mul(r, r);
    const V a0 = Vec::add(r, Vec::set1(1.0f));
    const V a1 = Vec::fma(r, Vec::set1(1.0f / 6), Vec::set1(0.5f));
    const V a2 = Vec::fma(r, Vec::set1(1.0f / 120), Vec::set1(1.0f / 24));
    const V a3 = Vec::fma(r, Vec::set1(1.0f / 5040), Vec::set1(1.0f / 720));
    const V p = Vec::fma(Vec::mul(r2, r2), Vec::fma(r2, a3, a2), Vec::fma(r2, a1, a0));
    return Vec::scale2(p, n);
}

// Sigmoid and tanh exact to a few units in the last place also where they
// saturate, so that 1 - f is right: an LSTM's forget gate near 1 integrates
// any error in it over thousands of samples.
inline V vsigmoid(V x) {
    const V e = vexpNegative(Vec::abs(x));
    const V s = Vec::div(Vec::set1(1.0f), Vec::add(Vec::set1(1.0f), e));
    return Vec::selectLess(x, Vec::zero(), Vec::mul(e, s), s);
}

inline V vtanhExact(V x) {
    const V a = Vec::abs(x);
    const V e = vexpNegative(Vec::add(a, a));
    const V large = Vec::div(Vec::sub(Vec::set1(1.0f), e), Vec::add(Vec::set1(1.0f), e));
    return Vec::selectLess(a, Vec::set1(0.625f), vtanh(x), Vec::copysign(large, x));
}

inline V vactivate(const Activation& f, V x, float slope) {
    switch (f.kind) {
    case ActivationKind::Tanh: return vtanh(x);
    case ActivationKind::Hardtanh: return Vec::min(Vec::max(x, Vec::set1(-1.0f)), Vec::set1(1.0f));
    case ActivationKind::ReLU: return Vec::max(x, Vec::zero());
    case ActivationKind::LeakyReLU:
    case ActivationKind::PReLU:
        return Vec::fma(Vec::set1(slope), Vec::min(x, Vec::zero()), Vec::max(x, Vec::zero()));
    case ActivationKind::Sigmoid: return vsigmoid(x);
    case ActivationKind::SiLU: return Vec::mul(x, vsigmoid(x));
    case ActivationKind::Hardswish: {
        const V r = Vec::min(Vec::max(Vec::add(x, Vec::set1(3.0f)), Vec::zero()), Vec::set1(6.0f));
        return Vec::mul(Vec::mul(x, r), Vec::set1(1.0f / 6.0f));
    }
    case ActivationKind::Softsign: return Vec::mul(x, Vec::recip(Vec::add(Vec::set1(1.0f), Vec::abs(x))));
    case ActivationKind::LeakyHardtanh: {
        const V lo = Vec::set1(f.a), hi = Vec::set1(f.b);
        const V inside = Vec::min(Vec::max(x, lo), hi);
        const V below = Vec::min(Vec::sub(x, lo), Vec::zero()), above = Vec::max(Vec::sub(x, hi), Vec::zero());
        return Vec::fma(Vec::set1(f.d), above, Vec::fma(Vec::set1(f.c), below, inside));
    }
    case ActivationKind::Fasttanh: {
        const V ax = Vec::abs(x), x2 = Vec::mul(x, x);
        const V num = Vec::mul(x, Vec::fma(Vec::fma(Vec::set1(0.821226666969744f), ax, Vec::set1(0.893229853513558f)), x2,
                                           Vec::fma(Vec::set1(2.45550750702956f), ax, Vec::set1(2.45550750702956f))));
        const V inner = Vec::abs(Vec::fma(Vec::mul(Vec::set1(0.814642734961073f), x), ax, x));
        const V den = Vec::fma(Vec::add(Vec::set1(2.44506634652299f), x2), inner, Vec::set1(2.44506634652299f));
        return Vec::mul(num, Vec::recip(den));
    }
    }
    return x;
}

inline int32_t vectorsOf(int32_t n) { return (n + Vec::N - 1) / Vec::N; }

// One register tile: RB output rows by TV vectors of time, all inputs.
template <int RB, int TV, int MODE>
inline void gemmTile(const Gemm& g, int32_t r0, int32_t t0) {
    V acc[RB][TV];
    CORVENA_UNROLL
    for (int r = 0; r < RB; ++r) {
        const V b = g.bias ? Vec::set1(g.bias[r0 + r]) : Vec::zero();
        CORVENA_UNROLL
        for (int v = 0; v < TV; ++v) acc[r][v] = b;
    }
    const float* w = g.weights + r0;
    const float* const* in = g.in;
    const int32_t inner = g.inner;
    const int32_t rows = g.rows;
    for (int32_t j = 0; j < inner; ++j, w += rows) {
        const float* src = in[j] + t0;
        V x[TV];
        CORVENA_UNROLL
        for (int v = 0; v < TV; ++v) x[v] = Vec::load(src + v * Vec::N);
        CORVENA_UNROLL
        for (int r = 0; r < RB; ++r) {
            const V wb = Vec::bcast(w + r);
            CORVENA_UNROLL
            for (int v = 0; v < TV; ++v) acc[r][v] = Vec::fma(wb, x[v], acc[r][v]);
        }
    }
    CORVENA_UNROLL
    for (int r = 0; r < RB; ++r) {
        float* out = g.out + (r0 + r) * g.outStride + t0;
        CORVENA_UNROLL
        for (int v = 0; v < TV; ++v) {
            V y = acc[r][v];
            if (MODE == 1) y = Vec::add(y, Vec::load(g.residual + (r0 + r) * g.residualStride + t0 + v * Vec::N));
            if (MODE == 2) {
                y = vtanh(y);
                float* skip = g.skip + (r0 + r) * g.skipStride + t0 + v * Vec::N;
                Vec::store(skip, Vec::add(Vec::load(skip), y));
            }
            Vec::store(out + v * Vec::N, y);
        }
    }
}

template <int RB, int MODE>
inline void gemmRows(const Gemm& g, int32_t r0, int32_t nv) {
    if constexpr (RB <= Vec::maxRows) {
        constexpr int TV = Vec::timeVectors(RB);
        int32_t v = 0;
        for (; v + TV <= nv; v += TV) gemmTile<RB, TV, MODE>(g, r0, v * Vec::N);
        if constexpr (TV > 2) { // a pair left keeps twice the accumulators busy
            if (v + 2 <= nv) {
                gemmTile<RB, 2, MODE>(g, r0, v * Vec::N);
                v += 2;
            }
        }
        for (; v < nv; ++v) gemmTile<RB, 1, MODE>(g, r0, v * Vec::N);
    }
}

template <int MODE>
inline int32_t gemmRowsOf(const Gemm& g, int32_t r0, int32_t nv) {
    const int32_t left = g.rows - r0;
    const int32_t most = left < Vec::maxRows ? left : Vec::maxRows;
    // Equal tiles where the rows do not fit one: 16 on a 12-row machine goes as 8 + 8.
    const int32_t tiles = (left + most - 1) / most;
    const int32_t want = (left + tiles - 1) / tiles;
    if (want >= 16) return gemmRows<16, MODE>(g, r0, nv), 16;
    if (want >= 12) return gemmRows<12, MODE>(g, r0, nv), 12;
    if (want >= 8) return gemmRows<8, MODE>(g, r0, nv), 8;
    if (want >= 6) return gemmRows<6, MODE>(g, r0, nv), 6;
    if (want >= 4) return gemmRows<4, MODE>(g, r0, nv), 4;
    if (want >= 3) return gemmRows<3, MODE>(g, r0, nv), 3;
    if (want >= 2) return gemmRows<2, MODE>(g, r0, nv), 2;
    return gemmRows<1, MODE>(g, r0, nv), 1;
}

void gemm(const Gemm& g, int32_t n) {
    const int32_t nv = vectorsOf(n);
    for (int32_t r0 = 0; r0 < g.rows;) {
        if (g.tanhSkip) r0 += gemmRowsOf<2>(g, r0, nv);
        else if (g.residual) r0 += gemmRowsOf<1>(g, r0, nv);
        else r0 += gemmRowsOf<0>(g, r0, nv);
    }
}

void activate(const Activation& f, float* rows, ptrdiff_t stride, int32_t count, int32_t n) {
    const int32_t nv = vectorsOf(n);
    for (int32_t r = 0; r < count; ++r) {
        float* row = rows + r * stride;
        const float slope = f.slopes ? f.slopes[r] : f.a;
        if (f.kind == ActivationKind::Tanh) {
            for (int32_t v = 0; v < nv; ++v) Vec::store(row + v * Vec::N, vtanh(Vec::load(row + v * Vec::N)));
        } else {
            for (int32_t v = 0; v < nv; ++v)
                Vec::store(row + v * Vec::N, vactivate(f, Vec::load(row + v * Vec::N), slope));
        }
    }
}

void gate(const Activation& f, float* z, ptrdiff_t stride, int32_t half, int32_t n) {
    const int32_t nv = vectorsOf(n);
    for (int32_t r = 0; r < half; ++r) {
        float* row = z + r * stride;
        const float* gateRow = z + (half + r) * stride;
        const float slope = f.slopes ? f.slopes[r] : f.a;
        for (int32_t v = 0; v < nv; ++v) {
            const V a = vactivate(f, Vec::load(row + v * Vec::N), slope);
            Vec::store(row + v * Vec::N, Vec::mul(a, vsigmoid(Vec::load(gateRow + v * Vec::N))));
        }
    }
}

void accumulate(float* dst, ptrdiff_t dstStride, const float* src, ptrdiff_t srcStride, int32_t count, int32_t n) {
    const int32_t nv = vectorsOf(n);
    for (int32_t r = 0; r < count; ++r)
        for (int32_t v = 0; v < nv; ++v) {
            float* d = dst + r * dstStride + v * Vec::N;
            Vec::store(d, Vec::add(Vec::load(d), Vec::load(src + r * srcStride + v * Vec::N)));
        }
}

void lstm(const Lstm& m, const float* input, float* output, int32_t n) {
    const int32_t hp = m.hp, hidden = m.hidden, vectors = hp / Vec::N;
    alignas(64) float fresh[512 + 64];
    for (int32_t t = 0; t < n; ++t) {
        const float x = input[t];
        const float* in = &x;
        int32_t inputs = 1;
        for (int32_t l = 0; l < m.layers; ++l) {
            const float* w = m.weights[l];
            float* h = m.h[l];
            float* c = m.c[l];
            const int32_t cols = inputs + hidden;
            const float* bias = w + cols * 4 * hp;
            // With one vector per gate the new h goes straight into place (every
            // read of the old one comes first); a copy through memory would sit
            // on the sample-to-sample path.
            float* next = vectors == 1 ? h : fresh;
            for (int32_t q = 0; q < vectors; ++q) {
                const int32_t at = q * Vec::N;
                // The inputs' share does not wait for h; the hidden share is
                // summed in two halves to shorten the chain of FMAs.
                V gi = Vec::load(bias + at), gf = Vec::load(bias + hp + at);
                V gg = Vec::load(bias + 2 * hp + at), go = Vec::load(bias + 3 * hp + at);
                V hi = Vec::zero(), hf = Vec::zero(), hg = Vec::zero(), ho = Vec::zero();
                const float* col = w + at;
                for (int32_t k = 0; k < inputs; ++k, col += 4 * hp) {
                    const V v = Vec::bcast(in + k);
                    gi = Vec::fma(Vec::load(col), v, gi);
                    gf = Vec::fma(Vec::load(col + hp), v, gf);
                    gg = Vec::fma(Vec::load(col + 2 * hp), v, gg);
                    go = Vec::fma(Vec::load(col + 3 * hp), v, go);
                }
                for (int32_t k = 0; k < hidden; ++k, col += 4 * hp) {
                    const V v = Vec::bcast(h + k);
                    if (k & 1) {
                        hi = Vec::fma(Vec::load(col), v, hi);
                        hf = Vec::fma(Vec::load(col + hp), v, hf);
                        hg = Vec::fma(Vec::load(col + 2 * hp), v, hg);
                        ho = Vec::fma(Vec::load(col + 3 * hp), v, ho);
                    } else {
                        gi = Vec::fma(Vec::load(col), v, gi);
                        gf = Vec::fma(Vec::load(col + hp), v, gf);
                        gg = Vec::fma(Vec::load(col + 2 * hp), v, gg);
                        go = Vec::fma(Vec::load(col + 3 * hp), v, go);
                    }
                }
                gi = Vec::add(gi, hi);
                gf = Vec::add(gf, hf);
                gg = Vec::add(gg, hg);
                go = Vec::add(go, ho);
                const V cell = Vec::fma(vsigmoid(gf), Vec::load(c + at), Vec::mul(vsigmoid(gi), vtanhExact(gg)));
                Vec::store(c + at, cell);
                Vec::store(next + at, Vec::mul(vsigmoid(go), vtanhExact(cell)));
            }
            if (next != h)
                for (int32_t k = 0; k < hp; ++k) h[k] = fresh[k];
            in = h;
            inputs = hidden;
        }
        const float* last = m.h[m.layers - 1];
        float y = m.outBias;
        for (int32_t k = 0; k < hidden; ++k) y += m.outWeights[k] * last[k];
        output[t] = y;
    }
}

constexpr Kernels kernelsOf(const char* name) {
    return Kernels{name, Vec::N, gemm, activate, gate, accumulate, lstm};
}

#undef CORVENA_UNROLL
