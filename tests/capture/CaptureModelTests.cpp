// Capture files and their refusals; the networks, with every kernel, against the
// reference renders and a plain evaluation in double precision.
#include "CaptureTestKit.h"
#include "capture/CaptureFile.h"

#include <gtest/gtest.h>

namespace corvena {
namespace {
using namespace test;
using nlohmann::json;

TEST(CaptureFile, ReadsTheLevelsAndRefusesWhatItCannotRun) {
    std::string error;
    const auto small = loadCaptureFile(modelPath("wavenet"), error), standard = loadCaptureFile(modelPath("wavenet_a1_standard"), error);
    ASSERT_TRUE(small && standard) << error;
    EXPECT_EQ(std::tuple(small->sampleRate, small->metadata["input_level_dbu"]), std::tuple(48000.0, 18.3));
    EXPECT_NEAR(small->loudness.value_or(0.0), -20.0207, 1e-4);
    EXPECT_EQ(std::tuple(standard->sampleRate, standard->loudness, standard->metadata), std::tuple(0.0, std::nullopt, nullptr))
        << "0.5.0 files do not say";

    const json wavenet = json::parse(std::ifstream(modelPath("wavenet"))), lstm = json::parse(std::ifstream(modelPath("lstm")));
    const std::string text = wavenet.dump();
    using Edit = std::function<void(json&)>;
    auto layer = [](const char* key, json value) { return [=](json& j) { j["config"]["layers"][0][key] = value; }; };
    auto top = [](const char* key, json value) { return [=](json& j) { j[key] = value; }; };
    auto config = [](const char* key, json value) { return [=](json& j) { j["config"][key] = value; }; };
    // The edit, on which model, and the start of the error (empty: accepted).
    const std::vector<std::tuple<Edit, const json*, std::string>> cases = {
        {top("version", "0.7.3"), &wavenet, ""},
        {top("version", "0.4.9"), &wavenet, "unsupported capture version: 0.4.9"},
        {top("version", "0.8.0"), &wavenet, "unsupported capture version: 0.8.0"},
        {top("version", "0.5"), &wavenet, "the capture's version is not a version number: 0.5"},
        {top("version", 5), &wavenet, "the capture's version is not a string"},
        {[](json& j) { j.erase("version"); }, &wavenet, "the capture has no version"},
        {top("architecture", "SlimmableContainer"), &wavenet, "unsupported capture architecture: SlimmableContainer"},
        {[](json& j) { j.erase("architecture"); }, &wavenet, "the capture has no architecture"},
        {[](json& j) { j.erase("config"); }, &wavenet, "the capture has no configuration"},
        {[](json& j) { j.erase("weights"); }, &wavenet, "the capture has no weights"},
        {[](json& j) { j["weights"][7] = "x"; }, &wavenet, "the capture's weights are not a list of numbers"},
        {[](json& j) { j["weights"].push_back(0.5); }, &wavenet, "the capture has 132 weights where its configuration needs 131"},
        {[](json& j) { j["weights"].erase(0); }, &lstm, "the capture has 69 weights where its configuration needs 70"},
        {config("condition_dsp", json::object()), &wavenet, "unsupported capture: conditioning model"},
        {config("head", json::object()), &wavenet, "unsupported capture: post-stack head"},
        {config("in_channels", 2), &wavenet, "unsupported capture: multi-channel audio"},
        {config("out_channels", 2), &lstm, "unsupported capture: multi-channel audio"},
        {layer("conv_pre_film", {{"active", true}}), &wavenet, "unsupported capture: FiLM"},
        {layer("head1x1_post_film", true), &wavenet, "unsupported capture: FiLM"},
        {layer("activation_post_film", {{"active", false}}), &wavenet, ""},
        {layer("slimmable", {{"method", "slice"}}), &wavenet, "unsupported capture: slimmable layers"},
        {layer("bottleneck", 2), &wavenet, "unsupported capture: bottleneck"},
        {layer("bottleneck", 3), &wavenet, ""},
        {layer("gating_mode", "blended"), &wavenet, "unsupported capture: blended gating"},
        {layer("head1x1", {{"active", true}, {"out_channels", 3}}), &wavenet, "unsupported capture: head 1x1"},
        {layer("head1x1", {{"active", false}}), &wavenet, ""},
        {layer("layer1x1", {{"active", false}}), &wavenet, "unsupported capture: inactive layer 1x1"},
        {layer("layer1x1", {{"active", true}, {"groups", 3}}), &wavenet, "unsupported capture: grouped convolutions"},
        {layer("groups_input", 3), &wavenet, "unsupported capture: grouped convolutions"},
        {layer("kernel_sizes", {3, 3}), &wavenet, "unsupported capture: per-layer kernel sizes"},
        {layer("head", {{"out_channels", 2}, {"kernel_size", 16}, {"bias", false}}), &wavenet, "unsupported capture: convolutional head"},
        {layer("head", {{"out_channels", 2}, {"kernel_size", 1}, {"bias", false}}), &wavenet, ""},
        {layer("activation", "Swish"), &wavenet, "unsupported capture activation: Swish"},
        {layer("activation", {{"type", "LeakyReLU"}, {"negative_slope", 0.2}}), &wavenet, ""},
        {layer("channels", 100000), &wavenet, "the capture's channels must be from 1 to 256"},
        {layer("channels", "3"), &wavenet, "the capture's channels must be an integer"},
        {layer("dilations", {1, 1 << 20}), &wavenet, "the capture's dilations must be integers from 1 to 65536"},
        {layer("dilations", std::vector<int>(200, 1)), &wavenet, "the capture has more than 128 layers in one stack"},
        {layer("input_size", 2), &wavenet, "unsupported capture: multi-channel input"},
        {layer("head_size", 3), &wavenet, "the capture's layer arrays do not fit together"},
        {[](json& j) { j["config"]["layers"][0]["dilations"] = std::vector<int>(100, 65536);
                       j["config"]["layers"][0]["channels"] = 256; }, &wavenet, "the capture's receptive field is too long"},
        {config("hidden_size", 100000), &lstm, "the capture's hidden_size must be from 1 to 512"},
        {config("input_size", 2), &lstm, "unsupported capture: multi-channel input"},
        {[](json& j) { j["config"].erase("num_layers"); }, &lstm, "the capture's configuration has no num_layers"},
        {top("sample_rate", "fast"), &lstm, "the capture's sample rate is not a positive number"},
        {top("metadata", nullptr), &lstm, ""},
        {top("metadata", 3), &lstm, "the capture's metadata is not an object"},
    };
    // Texts that are not a capture at all, or with a number that does not fit a float; then the edited ones.
    const size_t number = text.find_first_of("-0123456789", text.find("\"weights\""));
    std::vector<std::pair<std::string, std::string>> texts = {
        {"{\"version\": ", "the capture file is not valid json"},
        {"[1, 2]", "the capture file is not a json object"},
        {text.substr(0, number) + "1e39" + text.substr(text.find_first_of(",]", number)), "the capture has a weight that is not finite"},
    };
    for (const auto& [edit, model, expected] : cases) {
        json j = *model;
        edit(j);
        texts.emplace_back(j.dump(), expected);
    }
    for (const auto& [t, expected] : texts) {
        error.clear();
        const auto file = parseCapture(t, error);
        EXPECT_EQ(error.substr(0, expected.size()), expected) << t.substr(0, 300);
        EXPECT_EQ(bool(file), expected.empty()) << expected;
        if (file) EXPECT_TRUE(makeCaptureModel(*file));
    }
}


// A plain evaluation, straight from the equations, for what the references do not cover.

double sigmoid(double v) { return 1.0 / (1.0 + std::exp(-v)); }

double act(const json& f, double x, size_t channel) {
    const json a = f.is_string() ? json{{"type", f}} : f;
    const std::string kind = a["type"];
    if (kind == "Tanh") return std::tanh(x);
    if (kind == "Hardtanh") return std::clamp(x, -1.0, 1.0);
    if (kind == "LeakyReLU") return x > 0 ? x : a.value("negative_slope", 0.01) * x;
    if (kind == "PReLU") return x > 0 ? x : a["negative_slopes"][channel].get<double>() * x;
    if (kind == "Sigmoid") return sigmoid(x);
    if (kind == "SiLU") return x * sigmoid(x);
    if (kind == "Hardswish") return x * std::clamp(x + 3.0, 0.0, 6.0) / 6.0;
    if (kind == "Softsign") return x / (1.0 + std::abs(x));
    EXPECT_EQ(kind, "LeakyHardtanh");
    const double lo = a.value("min_val", -1.0), hi = a.value("max_val", 1.0);
    return x < lo ? (x - lo) * a.value("min_slope", 0.01) + lo : x > hi ? (x - hi) * a.value("max_slope", 0.01) + hi : x;
}

using Signal = std::vector<std::vector<double>>; // [time][channel]

struct Weights { // random weights, recorded in the order they are consumed
    std::vector<double> all;
    std::mt19937 random{12345};
    std::vector<double> take(size_t n, double scale) {
        std::vector<double> v(n);
        for (double& x : v) all.push_back(x = double(float(scale * std::uniform_real_distribution<>(-1.0, 1.0)(random))));
        return v;
    }
    double next(double scale) { return take(1, scale)[0]; }
};

// y = b + W·v over time, W (out x in x k) in the file's order; causal taps.
Signal conv(Weights& w, const Signal& v, size_t out, size_t k, size_t d, bool bias, double scale) {
    const size_t in = v[0].size();
    const auto taps = w.take(out * in * k, scale), b = bias ? w.take(out, scale) : std::vector<double>(out, 0.0);
    Signal y(v.size(), b);
    for (size_t t = 0; t < v.size(); ++t)
        for (size_t o = 0; o < out; ++o)
            for (size_t i = 0; i < in; ++i)
                for (size_t j = 0; j < k; ++j)
                    if (const size_t back = d * (k - 1 - j); t >= back) y[t][o] += taps[(o * in + i) * k + j] * v[t - back][i];
    return y;
}

Signal plainWaveNet(const json& config, Weights& w, const Signal& x) {
    const size_t n = x.size();
    Signal v = x, head;
    for (const json& a : config["layers"]) {
        const size_t c = a["channels"], k = a["kernel_size"];
        Signal h = conv(w, v, c, 1, 1, false, 0.8);
        Signal s = head.empty() ? Signal(n, std::vector<double>(c, 0.0)) : head;
        for (size_t l = 0; l < a["dilations"].size(); ++l) {
            const bool gated = a.contains("gating_mode") ? a["gating_mode"][l] == "gated" : a.value("gated", false);
            const json& f = a["activation"].is_array() ? a["activation"][l] : a["activation"];
            const size_t z = gated ? 2 * c : c;
            const Signal zs = conv(w, h, z, k, a["dilations"][l], true, 0.5), mix = conv(w, x, z, 1, 1, false, 0.5);
            Signal u(n, std::vector<double>(c));
            for (size_t t = 0; t < n; ++t)
                for (size_t o = 0; o < c; ++o) {
                    u[t][o] = act(f, zs[t][o] + mix[t][o], o) * (gated ? sigmoid(zs[t][c + o] + mix[t][c + o]) : 1.0);
                    s[t][o] += u[t][o];
                }
            const Signal r = conv(w, u, c, 1, 1, true, 0.5);
            for (size_t t = 0; t < n; ++t)
                for (size_t o = 0; o < c; ++o) h[t][o] += r[t][o];
        }
        head = conv(w, s, a["head_size"], 1, 1, a["head_bias"], 0.5);
        v = h;
    }
    const double scale = w.next(1.0);
    for (auto& row : head) row[0] *= scale;
    return head;
}

Signal plainConvNet(const json& config, Weights& w, Signal v) {
    const size_t c = config["channels"];
    const bool bn = config["batchnorm"];
    for (const json& d : config["dilations"]) {
        Signal a = conv(w, v, c, 2, d, !bn, 0.7);
        std::vector<double> scale(c, 1.0), shift(c, 0.0);
        if (bn) {
            const auto mean = w.take(c, 0.2), var = w.take(c, 0.3), gamma = w.take(c, 1.0), beta = w.take(c, 0.2);
            const double eps = w.all.back() = double(float(0.5 + w.next(0.1))); // keeps eps + var positive
            for (size_t o = 0; o < c; ++o)
                scale[o] = gamma[o] / std::sqrt(eps + var[o]), shift[o] = beta[o] - scale[o] * mean[o];
        }
        for (auto& row : a)
            for (size_t o = 0; o < c; ++o) row[o] = act(config["activation"], row[o] * scale[o] + shift[o], o);
        v = a;
    }
    return conv(w, v, 1, 1, 1, true, 0.5);
}

Signal plainLstm(const json& config, Weights& w, const Signal& x) {
    const size_t hidden = config["hidden_size"], layers = config["num_layers"];
    struct Layer { std::vector<double> w, b, h, c; };
    std::vector<Layer> ls(layers);
    for (size_t n = 0; n < layers; ++n)
        ls[n] = {w.take(4 * hidden * ((n == 0 ? 1 : hidden) + hidden), 0.6), w.take(4 * hidden, 0.6), w.take(hidden, 0.5),
                 w.take(hidden, 0.5)};
    Signal y(x.size());
    for (size_t t = 0; t < x.size(); ++t) {
        std::vector<double> in = x[t];
        for (Layer& l : ls) { // gates i, f, g, o over [input, h]
            std::vector<double> v = in, g(l.b);
            v.insert(v.end(), l.h.begin(), l.h.end());
            for (size_t r = 0; r < 4 * hidden; ++r)
                for (size_t j = 0; j < v.size(); ++j) g[r] += l.w[r * v.size() + j] * v[j];
            for (size_t q = 0; q < hidden; ++q) {
                l.c[q] = sigmoid(g[hidden + q]) * l.c[q] + sigmoid(g[q]) * std::tanh(g[2 * hidden + q]);
                l.h[q] = sigmoid(g[3 * hidden + q]) * std::tanh(l.c[q]);
            }
            in = l.h;
        }
        y[t] = in;
    }
    return conv(w, y, 1, 1, 1, true, 0.6); // the output layer over the last h
}

Signal plainLinear(const json& config, Weights& w, const Signal& x) {
    const size_t n = config["receptive_field"];
    const std::vector<double> h = w.take(n, 0.3);
    Signal y(x.size(), {config["bias"] ? w.next(0.1) : 0.0});
    for (size_t t = 0; t < x.size(); ++t)
        for (size_t k = 0; k < n && k <= t; ++k) y[t][0] += h[k] * x[t - k][0];
    return y;
}

TEST(CaptureModel, MatchesTheReferenceRendersAndAPlainEvaluationWithAnyKernelAndBlocking) {
    std::string error;
    const auto check = [&](const std::string& name, const std::shared_ptr<const CaptureFile>& file,
                           const std::vector<float>& in, const std::vector<double>& want, double tolerance) {
        ASSERT_TRUE(file) << name << ": " << error;
        for (const std::string& kernel : kernelNames()) {
            useKernel(kernel);
            const auto model = makeCaptureModel(*file);
            useKernel("");
            std::vector<float> first;
            // Fixed sizes (prepared for that size), and sizes changing every block up to 512 (0).
            for (int32_t fixed : {128, 32, 64, 512, 0}) {
                model->prepare(fixed ? fixed : 512);
                const std::vector<float> out = render(*model, in, [fixed](size_t i) {
                    return fixed ? fixed : int32_t(1 + (i * 7919 + i * i * 31) % 512);
                });
                EXPECT_LT(relativeRms(out, want), tolerance) << name << ", " << kernel << ", blocks of " << fixed;
                if (first.empty()) first = out;
                else if (file->architecture != "LSTM") // its state forgets the prewarm's length
                    EXPECT_EQ(out, first) << name << ", " << kernel << ": the blocking changed the output";
            }
        }
    };
    const std::vector<float> input = readWav(captureDir() + "/reference/input.wav");
    ASSERT_EQ(input.size(), 144000u);
    for (const std::string name : {"wavenet", "lstm", "wavenet_a1_standard"}) {
        const std::vector<float> reference = readWav(captureDir() + "/reference/" + name + ".wav");
        ASSERT_EQ(reference.size(), input.size());
        check(name, loadCaptureFile(modelPath(name), error), input, {reference.begin(), reference.end()}, 1e-5);
    }
    const std::vector<std::pair<std::string, const char*>> plain = {
        {"WaveNet", R"({"layers": [{"input_size": 1, "condition_size": 1, "channels": 5, "head_size": 3, "kernel_size": 2,
             "dilations": [1, 3, 17], "activation": "LeakyReLU", "gated": true, "head_bias": true},
            {"input_size": 5, "condition_size": 1, "channels": 3, "head_size": 1, "kernel_size": 3, "dilations": [2, 5, 1, 4, 9],
             "activation": ["Hardtanh", {"type": "PReLU", "negative_slopes": [0.1, 0.2, 0.3]}, "SiLU",
                            {"type": "LeakyHardtanh", "min_val": -0.5, "max_slope": 0.2}, "Softsign"],
             "gating_mode": ["gated", "none", "none", "gated", "none"], "head_bias": false}], "head": null, "head_scale": 0.3})"},
        {"ConvNet", R"({"channels": 6, "dilations": [1, 2, 8, 3], "batchnorm": true, "activation": "Tanh"})"},
        {"ConvNet", R"({"channels": 3, "dilations": [1, 4], "batchnorm": false, "activation": "Sigmoid"})"},
        {"ConvNet", R"({"channels": 4, "dilations": [2, 1], "batchnorm": false, "activation": "Hardswish"})"},
        {"Linear", R"({"receptive_field": 37, "bias": true})"},
        {"LSTM", R"({"input_size": 1, "hidden_size": 5, "num_layers": 2})"}, // layers, and more units than a lane
        {"LSTM", R"({"input_size": 1, "hidden_size": 19, "num_layers": 1})"},
    };
    // The plain evaluation sees the prewarm as leading zeros: half a second,
    // more than any of these needs.
    const size_t zeros = 24000, n = 3000;
    Signal x(zeros + n, {0.0});
    std::vector<float> in(n);
    for (size_t t = 0; t < n; ++t)
        x[zeros + t][0] = in[t] = float(0.6 * std::sin(0.031 * t) * std::exp(-0.0004 * t) + 0.2 * std::sin(0.7 * t * t / 3000));
    for (const auto& [architecture, text] : plain) {
        const json config = json::parse(text);
        Weights w;
        const Signal y = architecture == "WaveNet"   ? plainWaveNet(config, w, x)
                         : architecture == "ConvNet" ? plainConvNet(config, w, x)
                         : architecture == "LSTM"    ? plainLstm(config, w, x)
                                                     : plainLinear(config, w, x);
        const json capture = {{"version", "0.5.4"}, {"architecture", architecture}, {"config", config},
                              {"weights", w.all}, {"sample_rate", 48000}};
        std::vector<double> want(n);
        for (size_t t = 0; t < n; ++t) want[t] = y[zeros + t][0];
        check(architecture + " " + text, parseCapture(capture.dump(), error), in, want, 2e-6);
    }
}

} // namespace
} // namespace corvena
