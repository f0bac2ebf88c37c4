#pragma once
// The parsed configuration of a capture: what the networks are built from.
#include "capture/CaptureKernels.h"

#include <cstdint>
#include <string>
#include <vector>

namespace corvena {

enum class CaptureKind : uint8_t { WaveNet, Lstm, Linear, ConvNet };

// One WaveNet layer: its dilation, activation and whether it is gated.
struct WaveNetLayer {
    int32_t dilation = 1;
    capture::Activation activation;
    std::vector<float> slopes; // PReLU with one slope per channel
    bool gated = false;
};

// One layer array of a WaveNet (A1 keys).
struct WaveNetArray {
    int32_t inputSize = 1;
    int32_t channels = 1;
    int32_t headSize = 1;
    int32_t kernelSize = 3;
    bool headBias = false;
    std::vector<WaveNetLayer> layers;
};

struct CaptureLayout {
    CaptureKind kind = CaptureKind::WaveNet;
    // WaveNet
    std::vector<WaveNetArray> arrays;
    // LSTM
    int32_t hiddenSize = 0;
    int32_t lstmLayers = 0;
    // Linear
    int32_t receptiveField = 0;
    bool bias = false;
    // ConvNet
    int32_t channels = 0;
    std::vector<int32_t> dilations;
    bool batchnorm = false;
    capture::Activation activation;
    std::vector<float> slopes;

    std::vector<float> weights; // in file order, all finite
    // Zeros run through the network after a reset (a lower bound; whole blocks are run).
    int64_t prewarm = 0;
};

} // namespace corvena
