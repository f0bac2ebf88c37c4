// The four-times resampler: filter, delay, block independence.
#include "dsp/Oversampler.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace corvena {
namespace {

TEST(Oversampler, TapsAreASymmetricUnityGainLowPass) {
    Oversampler o;
    o.prepare(64);
    double sum = 0.0;
    for (int n = 0; n < 64; ++n) {
        EXPECT_NEAR(o.taps[n], o.taps[63 - n], 1e-7) << n;
        sum += o.taps[n];
    }
    EXPECT_NEAR(sum, 1.0, 1e-6);
    EXPECT_NEAR(o.taps[0], 0.0, 1e-7);
    EXPECT_NEAR(o.taps[31], 0.224815, 1e-6);
    EXPECT_EQ(o.taps[31], o.taps[32]);
}

TEST(Oversampler, ImpulseAndConstantResponses) {
    Oversampler o;
    o.prepare(64);
    std::vector<float> in(64, 0.0f), up(256), down(64);
    in[0] = 1.0f;
    o.upsample(in.data(), up.data(), 64);
    for (int j = 0; j < 80; ++j) ASSERT_EQ(up[j], j < 64 ? 4.0f * o.taps[j] : 0.0f) << j;
    o.downsample(up.data(), down.data(), 64);
    // The pair delays by 15 samples.
    EXPECT_NEAR(down[15], 0.8548, 1e-4);
    for (int m : {14, 16}) EXPECT_NEAR(down[m], 0.1343, 1e-4);
    for (int m : {13, 17}) EXPECT_NEAR(down[m], -0.1055, 1e-4);

    o.prepare(64);
    std::fill(in.begin(), in.end(), 1.0f);
    o.upsample(in.data(), up.data(), 64);
    for (int j = 64; j < 256; ++j) ASSERT_NEAR(up[j], 1.0f, 1e-5) << j;
    o.downsample(up.data(), down.data(), 64);
    for (int m = 40; m < 64; ++m) ASSERT_NEAR(down[m], 1.0f, 1e-6) << m;
}

// The fast path sums several outputs at once; every output must still equal
// the plain formula (sums in tap order), whatever the block split, including
// splits longer than the prepared block.
TEST(Oversampler, AnyBlockSplitMatchesThePlainFormulaExactly) {
    Oversampler o;
    o.prepare(64);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> x(451), u(4 * 451), up(4 * 451), down(451);
    for (float& v : x) v = dist(rng);
    for (float& v : u) v = dist(rng);
    int32_t at = 0;
    for (int32_t len : {1, 7, 64, 13, 300, 2, 45, 16, 3}) {
        o.upsample(x.data() + at, up.data() + 4 * at, len);
        o.downsample(u.data() + 4 * at, down.data() + at, len);
        at += len;
    }
    for (int64_t j = 0; j < 4 * 451; ++j) {
        float sum = 0.0f;
        for (int64_t k = 0; k < 16; ++k) sum += o.taps[4 * k + j % 4] * (j / 4 >= k ? x[j / 4 - k] : 0.0f);
        ASSERT_EQ(up[j], 4.0f * sum) << j;
    }
    for (int64_t m = 0; m < 451; ++m) {
        float sum = 0.0f;
        for (int64_t t = 0; t < 64; ++t) sum += o.taps[t] * (4 * m + 3 >= t ? u[4 * m + 3 - t] : 0.0f);
        ASSERT_EQ(down[m], sum) << m;
    }
}

} // namespace
} // namespace corvena
