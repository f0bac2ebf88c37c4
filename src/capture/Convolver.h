#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvena {

// How the work is split. The defaults suit 48 kHz and blocks of 16 to 1024 frames.
struct ConvolverTuning {
    bool portableKernels = false;     // plain C++ even where AVX2 is available
    int32_t headTaps = 128;           // direct-form taps, also the smallest partition
    int32_t largestPartition = 8192; // bounds the cost of the blocks that transform it
};

// Convolution with an impulse response, with no added latency: an impulse in
// comes out in the same frame. Made, prepared, assigned over and destroyed on
// the control thread (FFTW's plans are made and freed under a lock); only
// process belongs to the audio thread. An unprepared one outputs silence.
class Convolver {
public:
    Convolver();
    ~Convolver();
    Convolver(Convolver&&) noexcept;
    Convolver& operator=(Convolver&&) noexcept;

    // Control thread: take the response (at the stream's rate) and make room for
    // blocks of up to maxBlock frames; all state cleared.
    void prepare(const std::vector<float>& response, int32_t maxBlock);
    void prepare(const std::vector<float>& response, int32_t maxBlock, const ConvolverTuning& tuning);
    // Audio thread: any n <= maxBlock, changing from block to block; input and
    // output may be the same buffer. Never allocates, locks or throws.
    void process(const float* input, float* output, int32_t n);

    // The partitioning chosen, e.g. "head 128, 128x3@128, 256x2@512, ..."
    // (size x count @ first tap), and the kernels in use.
    std::string describe() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Measures the convolver's transforms (a second or so, once, on a control
// thread): every later prepare in this process then chooses transforms some
// 20 % faster. The benchmarks use it; the engine plans by estimate.
void measureConvolverTransforms(int32_t largestPartition = 8192);

} // namespace corvena
