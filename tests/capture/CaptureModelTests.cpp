// The networks against the reference renders and against a plain per-sample
// evaluation in double precision, with every kernel this processor runs.
#include "CaptureTestKit.h"
#include "capture/CaptureFile.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdint>
#include <map>

namespace corvena {
namespace {
using namespace test;
using nlohmann::json;

std::vector<float> readWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<float> samples(size_t(info.frames) * info.channels);
    sf_readf_float(f, samples.data(), info.frames);
    sf_close(f);
    return samples;
}

TEST(CaptureModel, MatchesTheReferenceRendersWithAnyKernelAndBlocking) {
    const std::vector<float> input = readWav(captureDir() + "/reference/input.wav");
    ASSERT_EQ(input.size(), 144000u);
    // Block sizes: fixed (prepared for that size), and one changing every block up to 512.
    const std::vector<std::pair<int32_t, std::function<int32_t(size_t)>>> schedules = {
        {128, [](size_t) { return 128; }}, {32, [](size_t) { return 32; }},
        {64, [](size_t) { return 64; }},   {512, [](size_t) { return 512; }},
        {512, [](size_t i) { return int32_t(1 + (i * 7919 + i * i * 31) % 512); }}};
    for (const char* name : {"wavenet", "lstm", "wavenet_a1_standard"}) {
        std::string error;
        const auto file = loadCaptureFile(captureDir() + "/models/" + name + ".nam", error);
        ASSERT_TRUE(file) << error;
        const std::vector<float> ref = readWav(captureDir() + "/reference/" + name + ".wav");
        const std::vector<double> reference(ref.begin(), ref.end());
        ASSERT_EQ(reference.size(), input.size());
        for (const std::string& kernel : kernelNames()) {
            const auto model = modelWith(*file, kernel);
            std::vector<float> first;
            for (size_t s = 0; s < schedules.size(); ++s) {
                model->prepare(schedules[s].first);
                const std::vector<float> out = render(*model, input, schedules[s].second);
                const double err = relativeRms(out, reference);
                EXPECT_LT(err, 1e-5) << name << ", " << kernel << ", schedule " << s;
                if (s == 0) {
                    std::printf("%-20s %-8s relative RMS error %.2e\n", name, kernel.c_str(), err);
                    first = out;
                } else if (file->architecture == "WaveNet") { // its state forgets the prewarm's length
                    EXPECT_EQ(out, first) << name << ", " << kernel << ": the blocking changed the output";
                }
            }
        }
    }
}

// ---- a plain evaluation, straight from the equations, for what the references do not cover

double act(const json& f, double x, size_t channel) {
    const std::string kind = f.is_string() ? f.get<std::string>() : f["type"].get<std::string>();
    const json a = f.is_string() ? json::object() : f;
    const auto sigmoid = [](double v) { return 1.0 / (1.0 + std::exp(-v)); };
    if (kind == "Tanh") return std::tanh(x);
    if (kind == "Hardtanh") return std::clamp(x, -1.0, 1.0);
    if (kind == "ReLU") return std::max(x, 0.0);
    if (kind == "LeakyReLU") return x > 0 ? x : a.value("negative_slope", 0.01) * x;
    if (kind == "PReLU") return x > 0 ? x : a["negative_slopes"][channel].get<double>() * x;
    if (kind == "Sigmoid") return sigmoid(x);
    if (kind == "SiLU") return x * sigmoid(x);
    if (kind == "Hardswish") return x * std::clamp(x + 3.0, 0.0, 6.0) / 6.0;
    if (kind == "Softsign") return x / (1.0 + std::abs(x));
    if (kind == "LeakyHardtanh") {
        const double lo = a.value("min_val", -1.0), hi = a.value("max_val", 1.0);
        return x < lo ? (x - lo) * a.value("min_slope", 0.01) + lo : x > hi ? (x - hi) * a.value("max_slope", 0.01) + hi : x;
    }
    ADD_FAILURE() << kind;
    return 0.0;
}

using Signal = std::vector<std::vector<double>>; // [time][channel]

struct Weights { // random weights, recorded in the order they are consumed
    std::vector<double> all;
    uint64_t state = 12345;
    double next(double scale) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        all.push_back(double(float(scale * ((state >> 11) * (1.0 / 9007199254740992.0) * 2.0 - 1.0))));
        return all.back();
    }
    std::vector<double> take(size_t n, double scale) {
        std::vector<double> v(n);
        for (double& x : v) x = next(scale);
        return v;
    }
};

// y = W·v over time, W (out x in) row by row; causal taps as in the file.
Signal conv(Weights& w, const Signal& v, size_t out, size_t k, size_t d, bool bias, double scale) {
    const size_t in = v[0].size();
    const std::vector<double> taps = w.take(out * in * k, scale);
    const std::vector<double> b = bias ? w.take(out, scale) : std::vector<double>(out, 0.0);
    Signal y(v.size(), std::vector<double>(out));
    for (size_t t = 0; t < v.size(); ++t)
        for (size_t o = 0; o < out; ++o) {
            double s = b[o];
            for (size_t i = 0; i < in; ++i)
                for (size_t j = 0; j < k; ++j) {
                    const size_t back = d * (k - 1 - j);
                    if (t >= back) s += taps[(o * in + i) * k + j] * v[t - back][i];
                }
            y[t][o] = s;
        }
    return y;
}

std::vector<double> plainWaveNet(const json& config, Weights& w, const std::vector<double>& x) {
    Signal cond(x.size(), std::vector<double>(1));
    for (size_t t = 0; t < x.size(); ++t) cond[t][0] = x[t];
    Signal v = cond, headSum;
    for (const json& a : config["layers"]) {
        const size_t c = a["channels"], k = a["kernel_size"];
        Signal h = conv(w, v, c, 1, 1, false, 0.8);
        Signal s = headSum.empty() ? Signal(x.size(), std::vector<double>(c, 0.0)) : headSum;
        for (size_t l = 0; l < a["dilations"].size(); ++l) {
            const bool gated = a.contains("gating_mode") ? a["gating_mode"][l] == "gated" : a.value("gated", false);
            const json& f = a["activation"].is_array() ? a["activation"][l] : a["activation"];
            const size_t z = gated ? 2 * c : c;
            Signal zs = conv(w, h, z, k, a["dilations"][l], true, 0.5);
            const Signal mix = conv(w, cond, z, 1, 1, false, 0.5);
            Signal u(x.size(), std::vector<double>(c));
            for (size_t t = 0; t < x.size(); ++t)
                for (size_t o = 0; o < c; ++o) {
                    u[t][o] = act(f, zs[t][o] + mix[t][o], o);
                    if (gated) u[t][o] *= 1.0 / (1.0 + std::exp(-(zs[t][c + o] + mix[t][c + o])));
                    s[t][o] += u[t][o];
                }
            const Signal r = conv(w, u, c, 1, 1, true, 0.5);
            for (size_t t = 0; t < x.size(); ++t)
                for (size_t o = 0; o < c; ++o) h[t][o] += r[t][o];
        }
        headSum = conv(w, s, a["head_size"], 1, 1, a["head_bias"], 0.5);
        v = h;
    }
    const double scale = w.next(1.0);
    std::vector<double> y(x.size());
    for (size_t t = 0; t < x.size(); ++t) y[t] = scale * headSum[t][0];
    return y;
}

std::vector<double> plainLstm(const json& config, Weights& w, const std::vector<double>& x) {
    const size_t hidden = config["hidden_size"], layers = config["num_layers"];
    struct Layer { std::vector<double> w, b, h, c; size_t inputs; };
    std::vector<Layer> ls(layers);
    for (size_t n = 0; n < layers; ++n) {
        ls[n].inputs = n == 0 ? 1 : hidden;
        ls[n].w = w.take(4 * hidden * (ls[n].inputs + hidden), 0.6);
        ls[n].b = w.take(4 * hidden, 0.6);
        ls[n].h = w.take(hidden, 0.5);
        ls[n].c = w.take(hidden, 0.5);
    }
    const std::vector<double> out = w.take(hidden, 0.6), outBias = w.take(1, 0.1);
    const auto sigmoid = [](double v) { return 1.0 / (1.0 + std::exp(-v)); };
    std::vector<double> y(x.size());
    for (size_t t = 0; t < x.size(); ++t) {
        std::vector<double> in{x[t]};
        for (Layer& l : ls) {
            std::vector<double> stacked = in, g(4 * hidden);
            stacked.insert(stacked.end(), l.h.begin(), l.h.end());
            for (size_t r = 0; r < 4 * hidden; ++r) {
                g[r] = l.b[r];
                for (size_t j = 0; j < stacked.size(); ++j) g[r] += l.w[r * stacked.size() + j] * stacked[j];
            }
            for (size_t q = 0; q < hidden; ++q) {
                l.c[q] = sigmoid(g[hidden + q]) * l.c[q] + sigmoid(g[q]) * std::tanh(g[2 * hidden + q]);
                l.h[q] = sigmoid(g[3 * hidden + q]) * std::tanh(l.c[q]);
            }
            in = l.h;
        }
        y[t] = outBias[0];
        for (size_t q = 0; q < hidden; ++q) y[t] += out[q] * in[q];
    }
    return y;
}

std::vector<double> plainConvNet(const json& config, Weights& w, const std::vector<double>& x) {
    const size_t c = config["channels"];
    const bool bn = config["batchnorm"];
    Signal v(x.size(), std::vector<double>(1));
    for (size_t t = 0; t < x.size(); ++t) v[t][0] = x[t];
    for (const json& d : config["dilations"]) {
        Signal a = conv(w, v, c, 2, d, !bn, 0.7);
        if (bn) {
            const auto mean = w.take(c, 0.2), var = w.take(c, 0.3), gamma = w.take(c, 1.0), beta = w.take(c, 0.2);
            const double eps = double(float(0.5 + w.next(0.1))); // keeps eps + var positive
            w.all.back() = eps;
            for (auto& row : a)
                for (size_t o = 0; o < c; ++o) {
                    const double s = gamma[o] / std::sqrt(eps + var[o]);
                    row[o] = row[o] * s + (beta[o] - s * mean[o]);
                }
        }
        for (auto& row : a)
            for (size_t o = 0; o < c; ++o) row[o] = act(config["activation"], row[o], o);
        v = a;
    }
    const Signal y = conv(w, v, 1, 1, 1, true, 0.5);
    std::vector<double> out(x.size());
    for (size_t t = 0; t < x.size(); ++t) out[t] = y[t][0];
    return out;
}

std::vector<double> plainLinear(const json& config, Weights& w, const std::vector<double>& x) {
    const size_t n = config["receptive_field"];
    const std::vector<double> h = w.take(n, 0.3);
    const double bias = config["bias"] ? w.next(0.1) : 0.0;
    std::vector<double> y(x.size(), bias);
    for (size_t t = 0; t < x.size(); ++t)
        for (size_t k = 0; k < n && k <= t; ++k) y[t] += h[k] * x[t - k];
    return y;
}

TEST(CaptureModel, EveryArchitectureAndOptionMatchesAPlainEvaluation) {
    const std::vector<std::pair<std::string, json>> cases = {
        {"WaveNet", json::parse(R"({"layers": [
            {"input_size": 1, "condition_size": 1, "channels": 5, "head_size": 3, "kernel_size": 2,
             "dilations": [1, 3, 17], "activation": "LeakyReLU", "gated": true, "head_bias": true},
            {"input_size": 5, "condition_size": 1, "channels": 3, "head_size": 1, "kernel_size": 3,
             "dilations": [2, 5, 1, 4, 9],
             "activation": ["Hardtanh", {"type": "PReLU", "negative_slopes": [0.1, 0.2, 0.3]}, "SiLU",
                            {"type": "LeakyHardtanh", "min_val": -0.5, "max_slope": 0.2}, "Softsign"],
             "gating_mode": ["gated", "none", "none", "gated", "none"], "head_bias": false}],
            "head": null, "head_scale": 0.3})")},
        {"WaveNet", json::parse(R"({"layers": [
            {"input_size": 1, "condition_size": 1, "channels": 13, "head_size": 1, "kernel_size": 4,
             "dilations": [1, 7, 30], "activation": "Tanh", "head_bias": true}], "head_scale": 0.5})")},
        {"WaveNet", json::parse(R"({"layers": [
            {"input_size": 1, "condition_size": 1, "channels": 4, "head_size": 1, "kernel_size": 3,
             "dilations": [1, 2], "activation": "Hardswish", "head_bias": false}], "head_scale": 0.5})")},
        {"LSTM", json::parse(R"({"input_size": 1, "hidden_size": 5, "num_layers": 2})")},
        {"LSTM", json::parse(R"({"input_size": 1, "hidden_size": 19, "num_layers": 1})")},
        {"ConvNet", json::parse(R"({"channels": 6, "dilations": [1, 2, 8, 3], "batchnorm": true, "activation": "Tanh"})")},
        {"ConvNet", json::parse(R"({"channels": 3, "dilations": [1, 4], "batchnorm": false, "activation": "Sigmoid"})")},
        {"Linear", json::parse(R"({"receptive_field": 37, "bias": true})")},
    };
    std::vector<double> x(3000);
    for (size_t t = 0; t < x.size(); ++t) x[t] = 0.6 * std::sin(0.031 * t) * std::exp(-0.0004 * t) + 0.2 * std::sin(0.7 * t * t / 3000);
    for (const auto& [architecture, config] : cases) {
        // The plain evaluation sees the prewarm as leading zeros: as many as the
        // LSTM's (half a second, whole blocks of 64), more than any other needs.
        const size_t zeros = 24000;
        std::vector<double> padded(zeros, 0.0), y;
        padded.insert(padded.end(), x.begin(), x.end());
        Weights w;
        if (architecture == "WaveNet") y = plainWaveNet(config, w, padded);
        else if (architecture == "LSTM") y = plainLstm(config, w, padded);
        else if (architecture == "ConvNet") y = plainConvNet(config, w, padded);
        else y = plainLinear(config, w, padded);
        const json capture = {{"version", "0.5.4"}, {"architecture", architecture}, {"config", config},
                              {"weights", w.all}, {"sample_rate", 48000}};
        std::string error;
        const auto file = parseCapture(capture.dump(), error);
        ASSERT_TRUE(file) << architecture << ": " << error;
        const std::vector<double> expected(y.begin() + zeros, y.end());
        const std::vector<float> in(x.begin(), x.end());
        for (const std::string& kernel : kernelNames()) {
            const auto model = modelWith(*file, kernel);
            model->prepare(64);
            const std::vector<float> out = render(*model, in, [](size_t i) { return int32_t(1 + i * 37 % 64); });
            EXPECT_LT(relativeRms(out, expected), 2e-6) << architecture << " " << config.dump() << ", " << kernel;
        }
    }
}

TEST(CaptureModel, TanhOfEveryKernelIsExactToAFewUnitsInTheLastPlace) {
    for (const std::string& name : kernelNames()) {
        const capture::Kernels& k = name == "portable" ? capture::portableKernels()
                                    : name == "avx2"   ? *capture::avx2Kernels()
                                                       : *capture::avx512Kernels();
        double worst = 0.0;
        for (double x = -12.0; x <= 12.0; x += 1.0 / 4096) {
            const double t = std::tanh(double(float(x)));
            worst = std::max(worst, std::abs(k.tanh(float(x)) - t) / std::max(std::abs(t), 1e-30));
        }
        for (float x = 1e-30f; x < 1e-2f; x *= 1.37f) worst = std::max(worst, std::abs(k.tanh(x) - std::tanh(double(x))) / x);
        EXPECT_LT(worst, 5e-7) << name;
        std::printf("%-8s tanh: worst relative error %.2e\n", name.c_str(), worst);
    }
}

} // namespace
} // namespace corvena
