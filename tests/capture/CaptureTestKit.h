#pragma once
// Shared by the capture tests: the reference material and running a network
// with a chosen kernel.
#include "capture/CaptureKernels.h"
#include "capture/CaptureModel.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace corvena::test {

inline std::string captureDir() { return std::string(CORVENA_SOURCE_DIR) + "/../shared/capture"; }

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every kernel this processor runs.
inline std::vector<std::string> kernelNames() {
    std::vector<std::string> names{"portable"};
    if (capture::avx2Kernels()) names.push_back("avx2");
    if (capture::avx512Kernels()) names.push_back("avx512");
    return names;
}

// A network of the file using the named kernel (the choice is made when it is built).
inline std::unique_ptr<CaptureModel> modelWith(const CaptureFile& file, const std::string& kernel) {
#ifdef _WIN32
    _putenv_s("CORVENA_CAPTURE_KERNEL", kernel.c_str());
    auto model = makeCaptureModel(file);
    _putenv_s("CORVENA_CAPTURE_KERNEL", "");
#else
    setenv("CORVENA_CAPTURE_KERNEL", kernel.c_str(), 1);
    auto model = makeCaptureModel(file);
    unsetenv("CORVENA_CAPTURE_KERNEL");
#endif
    return model;
}

// Runs `in` through the model in blocks whose sizes `block(i)` gives.
inline std::vector<float> render(CaptureModel& model, const std::vector<float>& in,
                                 const std::function<int32_t(size_t)>& block) {
    std::vector<float> out(in.size());
    for (size_t at = 0, i = 0; at < in.size(); ++i) {
        const size_t n = std::min<size_t>(size_t(block(i)), in.size() - at);
        model.process(in.data() + at, out.data() + at, int32_t(n));
        at += n;
    }
    return out;
}

inline double relativeRms(const std::vector<float>& y, const std::vector<double>& r) {
    double e = 0.0, s = 0.0;
    for (size_t i = 0; i < r.size(); ++i) {
        e += (y[i] - r[i]) * (y[i] - r[i]);
        s += r[i] * r[i];
    }
    return std::sqrt(e / s);
}

} // namespace corvena::test
