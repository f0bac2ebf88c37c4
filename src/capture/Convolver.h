#pragma once
#include <cstdint>
#include <vector>

namespace corvena {

// Convolution with an impulse response, with no added latency: an impulse in
// comes out in the same frame.
class Convolver {
public:
    // Control thread: take the response (at the stream's rate) and make room for
    // blocks of up to maxBlock frames; all state cleared.
    void prepare(const std::vector<float>& response, int32_t maxBlock);
    // Audio thread: any n <= maxBlock, changing from block to block; input and
    // output may be the same buffer. Never allocates, locks or throws.
    void process(const float* input, float* output, int32_t n);
};

} // namespace corvena
