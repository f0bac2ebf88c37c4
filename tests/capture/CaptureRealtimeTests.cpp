// The audio thread's discipline for capture networks and the convolver: no
// allocation, no lock.
#include "CaptureTestKit.h"
#include "capture/CaptureFile.h"
#include "capture/Convolver.h"
#include "support/AllocationCounter.h"

#include <gtest/gtest.h>

namespace corvena {
namespace {
using namespace test;

TEST(CaptureRealtime, ProcessingAllocatesNothingAndNeverWaits) {
    { // the counter sees what it is meant to see
        AllocationCounter::Scope scope;
        std::vector<float> v(3);
    }
    ASSERT_GE(AllocationCounter::allocations(), 1u);
    std::vector<float> in(512), out(512), inPlace(512);
    for (size_t i = 0; i < in.size(); ++i) in[i] = 0.3f * std::sin(0.05f * i);
    for (const char* name : {"wavenet", "lstm", "wavenet_a1_standard"}) {
        std::string error;
        const auto file = loadCaptureFile(captureDir() + "/models/" + name + ".nam", error);
        ASSERT_TRUE(file) << error;
        for (const std::string& kernel : kernelNames()) {
            const auto model = modelWith(*file, kernel);
            model->prepare(300);
            AllocationCounter::reset();
            for (int b = 0; b < 400; ++b) {
                const int32_t n = 1 + (b * 97) % 300;
                std::copy(in.begin(), in.end(), inPlace.begin());
                AllocationCounter::Scope audioThread;
                if (b % 2) model->process(inPlace.data(), inPlace.data(), n);
                else model->process(in.data(), out.data(), n);
            }
            EXPECT_EQ(AllocationCounter::allocations(), 0u) << name << ", " << kernel;
            EXPECT_EQ(AllocationCounter::lockWaits(), 0u) << name << ", " << kernel;
        }
    }
}

TEST(CaptureRealtime, ConvolutionAllocatesNothingAndNeverWaits) {
    // Ten seconds of response: every partition size, at block sizes changing each call.
    std::vector<float> response(480000);
    for (size_t i = 0; i < response.size(); ++i) response[i] = std::sin(0.37f * i) * std::exp(-float(i) / 40000.0f);
    Convolver convolver;
    convolver.prepare(response, 256);
    std::vector<float> block(256, 0.25f);
    AllocationCounter::reset();
    AllocationCounter::Scope audioThread;
    for (int b = 0; b < 2000; ++b) convolver.process(block.data(), block.data(), 1 + (b * 89) % 256);
    EXPECT_EQ(AllocationCounter::allocations(), 0u);
    EXPECT_EQ(AllocationCounter::lockWaits(), 0u);
}

} // namespace
} // namespace corvena
