#pragma once
#include <cstdint>

namespace corvena {

// One second-order section, transposed direct form II, coefficients already
// divided by a0. Arithmetic and state are double; samples in and out are float.
// A default section passes the signal unchanged.
class Biquad {
public:
    double b0 = 1.0;
    double b1 = 0.0;
    double b2 = 0.0;
    double a1 = 0.0;
    double a2 = 0.0;
    double z1 = 0.0;
    double z2 = 0.0;

    // Designs fill b0..a2 and never touch the state, so a redesign while
    // signal flows continues without a click from cleared history.
    void designHighPass(double sampleRate, double frequency, double q);
    void designLowPass(double sampleRate, double frequency, double q);
    void designPeaking(double sampleRate, double frequency, double q, double gainDb);
    void designLowShelf(double sampleRate, double frequency, double gainDb);
    void designHighShelf(double sampleRate, double frequency, double gainDb);

    void reset() { z1 = 0.0; z2 = 0.0; }

    float processSample(float input) {
        const double x = input;
        const double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return static_cast<float>(y);
    }

    // In place is allowed (input == output).
    void process(const float* input, float* output, int32_t n);

private:
    void setNormalised(double a0, double nb0, double nb1, double nb2, double na1, double na2);
};

// Runs a chain of sections sample by sample rather than section by section.
// Each sample still passes the sections in order with float rounding between
// them, so the result is identical to running them one after another over the
// buffer; interleaving only lets the independent recurrences overlap in the CPU.
void processBiquadChain(Biquad* sections, int32_t count, float* buffer, int32_t n);

} // namespace corvena
