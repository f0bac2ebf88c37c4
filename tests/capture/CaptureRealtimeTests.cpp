// The audio thread's discipline for capture networks: no allocation, no lock.
#include "CaptureTestKit.h"
#include "capture/CaptureFile.h"
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

} // namespace
} // namespace corvena
