#pragma once
#include <cstdint>

namespace corvena {

// The amp's static nonlinearity, run in place over the oversampled buffer in
// single precision: Clean f(x) = tanh(x); Drive f(x) = tanh(1.5 tanh(x) + 0.05)
// - tanh(0.05), asymmetric, f(0) = 0. With SLEEF the tanh is its vectorised
// 1-ULP version at the widest width the CPU offers (checked once, here).
class Waveshaper {
public:
    Waveshaper();
    void process(bool drive, float* buffer, int32_t count) const;
    // Lanes per tanh call actually used (1 without SLEEF).
    int32_t width() const { return width_; }

private:
    int32_t width_ = 1;
};

} // namespace corvena
