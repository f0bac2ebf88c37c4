#pragma once
#include <array>
#include <cstdint>
#include <vector>

namespace corvena {

// Four-times resampler around the amp's waveshaper. Both directions use one
// 64-tap linear-phase low-pass (Blackman-windowed sinc, unity gain at DC):
// a 16-tap-per-phase interpolator up, the full filter on every fourth sample
// down. The pair delays an in-band signal by exactly 15 base-rate samples.
class Oversampler {
public:
    static constexpr int32_t factor = 4;
    static constexpr int32_t tapCount = 64;

    std::array<float, tapCount> taps{};
    std::array<float, 16> interpolatorHistory{};
    std::array<float, tapCount> decimatorHistory{};
    int32_t interpolatorIndex = 0;
    int32_t decimatorIndex = 0;
    std::vector<float> oversampledBuffer;

    // Control thread: design the filter, size the buffers, clear the histories.
    void prepare(int32_t maxBlock);
    void reset();
    // n base-rate samples in, 4 n out.
    void upsample(const float* input, float* output, int32_t n);
    // 4 n oversampled samples in, n base-rate samples out.
    void downsample(const float* input, float* output, int32_t n);

private:
    void upsampleChunk(const float* input, float* output, int32_t n);
    void downsampleChunk(const float* input, float* output, int32_t n);
    void upsampleScalar(const float* input, float* output, int32_t n);
    void downsampleScalar(const float* input, float* output, int32_t n);

    // Scratch laid out linearly (history followed by the block) so the sums
    // can run over several outputs at once; sized by prepare.
    int32_t chunk_ = 0;
    std::vector<float> upLinear_;
    std::array<std::vector<float>, factor> downPhases_;
};

} // namespace corvena
