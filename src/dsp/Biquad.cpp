#include "dsp/Biquad.h"

#include <cmath>

namespace corvena {

namespace {
constexpr double pi = 3.14159265358979323846;

struct Terms {
    double c;
    double s;
};

Terms angleTerms(double sampleRate, double frequency) {
    const double w0 = 2.0 * pi * frequency / sampleRate;
    return {std::cos(w0), std::sin(w0)};
}
} // namespace

void Biquad::setNormalised(double a0, double nb0, double nb1, double nb2, double na1, double na2) {
    b0 = nb0 / a0;
    b1 = nb1 / a0;
    b2 = nb2 / a0;
    a1 = na1 / a0;
    a2 = na2 / a0;
}

void Biquad::designHighPass(double sampleRate, double frequency, double q) {
    const Terms t = angleTerms(sampleRate, frequency);
    const double alpha = t.s / (2.0 * q);
    setNormalised(1.0 + alpha, (1.0 + t.c) / 2.0, -(1.0 + t.c), (1.0 + t.c) / 2.0, -2.0 * t.c, 1.0 - alpha);
}

void Biquad::designLowPass(double sampleRate, double frequency, double q) {
    const Terms t = angleTerms(sampleRate, frequency);
    const double alpha = t.s / (2.0 * q);
    setNormalised(1.0 + alpha, (1.0 - t.c) / 2.0, 1.0 - t.c, (1.0 - t.c) / 2.0, -2.0 * t.c, 1.0 - alpha);
}

void Biquad::designPeaking(double sampleRate, double frequency, double q, double gainDb) {
    const Terms t = angleTerms(sampleRate, frequency);
    const double a = std::pow(10.0, gainDb / 40.0);
    const double alpha = t.s / (2.0 * q);
    setNormalised(1.0 + alpha / a, 1.0 + alpha * a, -2.0 * t.c, 1.0 - alpha * a, -2.0 * t.c, 1.0 - alpha / a);
}

void Biquad::designLowShelf(double sampleRate, double frequency, double gainDb) {
    const Terms t = angleTerms(sampleRate, frequency);
    const double a = std::pow(10.0, gainDb / 40.0);
    const double beta = 2.0 * std::sqrt(a) * (t.s / 2.0) * std::sqrt(2.0);
    setNormalised((a + 1.0) + (a - 1.0) * t.c + beta,
                  a * ((a + 1.0) - (a - 1.0) * t.c + beta),
                  2.0 * a * ((a - 1.0) - (a + 1.0) * t.c),
                  a * ((a + 1.0) - (a - 1.0) * t.c - beta),
                  -2.0 * ((a - 1.0) + (a + 1.0) * t.c),
                  (a + 1.0) + (a - 1.0) * t.c - beta);
}

void Biquad::designHighShelf(double sampleRate, double frequency, double gainDb) {
    const Terms t = angleTerms(sampleRate, frequency);
    const double a = std::pow(10.0, gainDb / 40.0);
    const double beta = 2.0 * std::sqrt(a) * (t.s / 2.0) * std::sqrt(2.0);
    setNormalised((a + 1.0) - (a - 1.0) * t.c + beta,
                  a * ((a + 1.0) + (a - 1.0) * t.c + beta),
                  -2.0 * a * ((a - 1.0) + (a + 1.0) * t.c),
                  a * ((a + 1.0) + (a - 1.0) * t.c - beta),
                  2.0 * ((a - 1.0) - (a + 1.0) * t.c),
                  (a + 1.0) - (a - 1.0) * t.c - beta);
}

void Biquad::process(const float* input, float* output, int32_t n) {
    for (int32_t i = 0; i < n; ++i) output[i] = processSample(input[i]);
}

namespace {
// Runs the sections as a wavefront: in step t section s handles sample t - s,
// taking the float that section s - 1 produced in step t - 1. The sections of
// one step are independent, so the CPU overlaps them instead of waiting for
// each sample to cross all the sections in turn. Every sample still sees the
// same operations in the same order as section after section over the buffer.
template <int Count>
struct Wavefront {
    double b0[Count], b1[Count], b2[Count], a1[Count], a2[Count], z1[Count], z2[Count];
    float pipe[Count]; // pipe[s]: what section s produced in the last step

    explicit Wavefront(const Biquad* sections) {
        for (int s = 0; s < Count; ++s) {
            b0[s] = sections[s].b0;
            b1[s] = sections[s].b1;
            b2[s] = sections[s].b2;
            a1[s] = sections[s].a1;
            a2[s] = sections[s].a2;
            z1[s] = sections[s].z1;
            z2[s] = sections[s].z2;
            pipe[s] = 0.0f;
        }
    }
    void store(Biquad* sections) const {
        for (int s = 0; s < Count; ++s) {
            sections[s].z1 = z1[s];
            sections[s].z2 = z2[s];
        }
    }
    float run(int s, float input) {
        const double x = input;
        const double y = b0[s] * x + z1[s];
        z1[s] = b1[s] * x - a1[s] * y + z2[s];
        z2[s] = b2[s] * x - a2[s] * y;
        return static_cast<float>(y);
    }
    // One step over the sections in [first, last]; section 0 takes `input`.
    void step(int first, int last, float input) {
        for (int s = last; s >= first; --s) pipe[s] = run(s, s == 0 ? input : pipe[s - 1]);
    }
    // The full step, unrolled so the locals stay in registers.
    template <int S>
    void fullStep(float input) {
        if constexpr (S > 0) {
            pipe[S] = run(S, pipe[S - 1]);
            fullStep<S - 1>(input);
        } else {
            pipe[0] = run(0, input);
        }
    }
};

template <int Count>
void chainFixed(Biquad* sections, float* buffer, int32_t n) {
    if (n <= 0) return;
    Wavefront<Count> w(sections);
    const int32_t steps = n + Count - 1;
    for (int32_t t = 0; t < steps; ++t) {
        const int first = t >= n ? static_cast<int>(t - n + 1) : 0;
        const int last = t < Count - 1 ? static_cast<int>(t) : Count - 1;
        const float input = t < n ? buffer[t] : 0.0f;
        if (first == 0 && last == Count - 1)
            w.template fullStep<Count - 1>(input);
        else
            w.step(first, last, input);
        if (t >= Count - 1) buffer[t - (Count - 1)] = w.pipe[Count - 1];
    }
    w.store(sections);
}
} // namespace

void processBiquadChain(Biquad* sections, int32_t count, float* buffer, int32_t n) {
    switch (count) {
    case 8: chainFixed<8>(sections, buffer, n); return;
    case 2: chainFixed<2>(sections, buffer, n); return;
    default:
        for (int32_t s = 0; s < count; ++s) sections[s].process(buffer, buffer, n);
    }
}

} // namespace corvena
