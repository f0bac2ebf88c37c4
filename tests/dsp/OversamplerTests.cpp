// The four-times resampler: filter design, delay and block independence.
#include "DspTestUtil.h"
#include "dsp/Oversampler.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace corvena {
namespace {

Oversampler prepared(int32_t maxBlock = 256) {
    Oversampler o;
    o.prepare(maxBlock);
    return o;
}

std::vector<float> noise(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    return v;
}

TEST(Oversampler, TapsAreASymmetricUnityGainLowPass) {
    const Oversampler o = prepared();
    double sum = 0.0;
    for (int n = 0; n < 64; ++n) {
        EXPECT_NEAR(o.taps[n], o.taps[63 - n], 1e-7) << n;
        sum += o.taps[n];
    }
    EXPECT_NEAR(sum, 1.0, 1e-6);
    EXPECT_NEAR(o.taps[0], 0.0, 1e-7);
    EXPECT_NEAR(o.taps[63], 0.0, 1e-7);
    EXPECT_NEAR(o.taps[31], 0.224815, 1e-6);
    EXPECT_EQ(o.taps[31], o.taps[32]);
}

TEST(Oversampler, UpsampledImpulseIsFourTimesTheTaps) {
    Oversampler o = prepared();
    std::vector<float> in(20, 0.0f), out(80);
    in[0] = 1.0f;
    o.upsample(in.data(), out.data(), 20);
    for (int j = 0; j < 64; ++j) EXPECT_EQ(out[j], 4.0f * o.taps[j]) << j;
    for (int j = 64; j < 80; ++j) EXPECT_EQ(out[j], 0.0f) << j;
}

TEST(Oversampler, ConstantInputSettlesToOne) {
    Oversampler o = prepared();
    std::vector<float> in(64, 1.0f), up(256), down(64);
    o.upsample(in.data(), up.data(), 64);
    for (int j = 4 * 16; j < 256; ++j) EXPECT_NEAR(up[j], 1.0f, 1e-5) << j;
    o.downsample(up.data(), down.data(), 64);
    for (int m = 40; m < 64; ++m) EXPECT_NEAR(down[m], 1.0f, 1e-6) << m;
}

TEST(Oversampler, PairDelaysByFifteenSamples) {
    Oversampler o = prepared();
    std::vector<float> in(40, 0.0f), up(160), down(40);
    in[0] = 1.0f;
    o.upsample(in.data(), up.data(), 40);
    o.downsample(up.data(), down.data(), 40);
    EXPECT_NEAR(down[15], 0.8548, 1e-4);
    EXPECT_NEAR(down[14], 0.1343, 1e-4);
    EXPECT_NEAR(down[16], 0.1343, 1e-4);
    EXPECT_NEAR(down[13], -0.1055, 1e-4);
    EXPECT_NEAR(down[17], -0.1055, 1e-4);
    for (int m = 0; m < 40; ++m)
        if (m != 15) EXPECT_LT(down[m], down[15]);
}

// The plain formula with sums in tap order, as a reference for the fast path.
struct Reference {
    std::vector<float> x, u;
    const Oversampler& o;
    explicit Reference(const Oversampler& ov) : o(ov) {}
    float up(int64_t j) const {
        const int64_t m = j / 4, p = j % 4;
        float sum = 0.0f;
        for (int k = 0; k < 16; ++k) sum += o.taps[4 * k + p] * (m - k >= 0 ? x[m - k] : 0.0f);
        return 4.0f * sum;
    }
    float down(int64_t m) const {
        float sum = 0.0f;
        for (int t = 0; t < 64; ++t) sum += o.taps[t] * (4 * m + 3 - t >= 0 ? u[4 * m + 3 - t] : 0.0f);
        return sum;
    }
};

TEST(Oversampler, AnyBlockSplitMatchesThePlainFormulaExactly) {
    // Odd splits, splits longer than the prepared block, and a 1-sample block.
    const std::vector<int32_t> splits = {1, 7, 64, 13, 300, 2, 45, 16, 3};
    Oversampler o = prepared(64);
    Reference ref(o);
    ref.x = noise(451, 3);
    ref.u = noise(4 * 451, 4);
    std::vector<float> up(4 * 451), down(451);
    int32_t at = 0;
    for (int32_t len : splits) {
        o.upsample(ref.x.data() + at, up.data() + 4 * at, len);
        o.downsample(ref.u.data() + 4 * at, down.data() + at, len);
        at += len;
    }
    ASSERT_EQ(at, 451);
    for (int64_t j = 0; j < 4 * 451; ++j) ASSERT_EQ(up[j], ref.up(j)) << "upsampled " << j;
    for (int64_t m = 0; m < 451; ++m) ASSERT_EQ(down[m], ref.down(m)) << "downsampled " << m;

    Oversampler whole = prepared(64), halves = prepared(64);
    std::vector<float> a(256), b(256);
    whole.upsample(ref.x.data(), a.data(), 64);
    halves.upsample(ref.x.data(), b.data(), 32);
    halves.upsample(ref.x.data() + 32, b.data() + 128, 32);
    EXPECT_EQ(a, b);
}

TEST(Oversampler, NothingHappensForEmptyBlocks) {
    Oversampler o = prepared();
    float out[4] = {9.0f, 9.0f, 9.0f, 9.0f};
    const float in[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    o.upsample(in, out, 0);
    o.downsample(in, out, -1);
    for (float y : out) EXPECT_EQ(y, 9.0f);
    EXPECT_EQ(o.interpolatorIndex, 0);
    EXPECT_EQ(o.decimatorIndex, 0);
}

} // namespace
} // namespace corvena
