// The shaper curve, whichever tanh width this CPU gets.
#include "dsp/Waveshaper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace corvena {
namespace {

int64_t ulpDistance(float a, float b) {
    int32_t ia, ib;
    std::memcpy(&ia, &a, 4);
    std::memcpy(&ib, &b, 4);
    if (ia < 0) ia = INT32_MIN - ia;
    if (ib < 0) ib = INT32_MIN - ib;
    return std::llabs(static_cast<int64_t>(ia) - ib);
}

TEST(Waveshaper, FollowsTheCurvesWithinFloatRounding) {
    const Waveshaper shaper;
    std::vector<float> x;
    for (float v = -12.0f; v <= 12.0f; v += 0.0137f) x.push_back(v);
    for (float v : {0.0f, 1e-20f, -1e-30f, 1e30f, -1e30f}) x.push_back(v);
    for (bool drive : {false, true}) {
        std::vector<float> y = x;
        shaper.process(drive, y.data(), static_cast<int32_t>(y.size()));
        for (size_t i = 0; i < x.size(); ++i) {
            const double t = std::tanh(static_cast<double>(x[i]));
            const float expected = drive ? static_cast<float>(std::tanh(1.5 * t + 0.05) - std::tanh(0.05))
                                         : static_cast<float>(t);
            // Drive rounds four times in single precision; allow a few units near zero crossings.
            if (drive)
                ASSERT_NEAR(y[i], expected, 4e-7) << x[i];
            else
                ASSERT_LE(ulpDistance(y[i], expected), 2) << x[i];
        }
    }
}

TEST(Waveshaper, DriveIsZeroAtZeroAndAsymmetric) {
    const Waveshaper shaper;
    float y[3] = {0.0f, 1e30f, -1e30f};
    shaper.process(true, y, 3);
    EXPECT_EQ(y[0], 0.0f);
    EXPECT_NEAR(y[1], 0.8638, 1e-4);
    EXPECT_NEAR(y[2], -0.9457, 1e-4);
    float inf[2] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()};
    shaper.process(false, inf, 2);
    EXPECT_EQ(inf[0], 1.0f);
    EXPECT_EQ(inf[1], -1.0f);
}

TEST(Waveshaper, ResultDoesNotDependOnPositionOrCount) {
    const Waveshaper shaper;
    std::vector<float> x(37);
    for (size_t i = 0; i < x.size(); ++i) x[i] = 0.37f * static_cast<float>(i) - 5.0f;
    for (bool drive : {false, true}) {
        std::vector<float> whole = x;
        shaper.process(drive, whole.data(), 37);
        for (size_t i = 0; i < x.size(); ++i) {
            float one = x[i];
            shaper.process(drive, &one, 1);
            ASSERT_EQ(one, whole[i]) << i;
        }
    }
}

} // namespace
} // namespace corvena
