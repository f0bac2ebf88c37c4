#include "capture/CaptureFile.h"

#include "capture/CaptureLayout.h"
#include "record/FilePath.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <exception>
#include <new>

namespace corvena {
namespace {

using nlohmann::json;
using capture::Activation;
using capture::ActivationKind;

// Sizes past these are refused: they keep a hostile file from making the
// network allocate gigabytes. Real captures stay far below them.
constexpr int32_t kMaxChannels = 256;
constexpr int32_t kMaxKernel = 64;
constexpr int32_t kMaxLayers = 128;
constexpr int32_t kMaxArrays = 16;
constexpr int32_t kMaxDilation = 65536;
constexpr int32_t kMaxHidden = 512;
constexpr int32_t kMaxLstmLayers = 16;
constexpr int32_t kMaxLinear = 65536;
constexpr int64_t kMaxHistory = int64_t(1) << 24; // floats of convolution history in all
constexpr int64_t kMaxReach = int64_t(1) << 18;   // receptive field in samples (5 s at 48 kHz)
constexpr double kMaxRate = 768000.0;
constexpr long kMaxFileBytes = 256L << 20;

// Thrown inside the parser only; parseCapture turns it into the error text.
struct Refusal {
    std::string what;
};

[[noreturn]] void refuse(std::string what) { throw Refusal{std::move(what)}; }

const json* find(const json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const json* findSet(const json& object, const char* key) { // present and not null
    const json* v = find(object, key);
    return v && !v->is_null() ? v : nullptr;
}

// The number as a float, when it is one that a float holds (not infinite, not NaN).
bool toFloat(const json& v, float& out) {
    if (!v.is_number()) return false;
    const double d = v.get<double>();
    if (!(std::abs(d) <= double(FLT_MAX))) return false;
    out = float(d);
    return true;
}

int32_t readInt(const json& object, const char* key, int32_t lo, int32_t hi) {
    const json* v = find(object, key);
    if (!v) refuse(std::string("the capture's configuration has no ") + key);
    if (!v->is_number() || std::floor(v->get<double>()) != v->get<double>())
        refuse(std::string("the capture's ") + key + " must be an integer");
    const double d = v->get<double>();
    if (d < lo || d > hi)
        refuse("the capture's " + std::string(key) + " must be from " + std::to_string(lo) + " to " +
               std::to_string(hi));
    return static_cast<int32_t>(d);
}

bool readBool(const json& object, const char* key, bool fallback) {
    const json* v = findSet(object, key);
    if (!v) return fallback;
    if (!v->is_boolean()) refuse(std::string("the capture's ") + key + " must be true or false");
    return v->get<bool>();
}

std::vector<int32_t> readDilations(const json& object) {
    const json* v = find(object, "dilations");
    if (!v) refuse("the capture's configuration has no dilations");
    if (!v->is_array() || v->empty()) refuse("the capture's dilations are not a list of integers");
    if (v->size() > size_t(kMaxLayers)) refuse("the capture has more than " + std::to_string(kMaxLayers) + " layers in one stack");
    std::vector<int32_t> out;
    for (const json& d : *v) {
        if (!d.is_number_integer() || d.get<int64_t>() < 1 || d.get<int64_t>() > kMaxDilation)
            refuse("the capture's dilations must be integers from 1 to " + std::to_string(kMaxDilation));
        out.push_back(d.get<int32_t>());
    }
    return out;
}

float readFloat(const json& object, const char* key, float fallback) {
    const json* v = findSet(object, key);
    if (!v) return fallback;
    float f = 0.0f;
    if (!toFloat(*v, f)) refuse(std::string("the capture's ") + key + " must be a number");
    return f;
}

// An activation written as a name or as an object with its parameters.
Activation readActivation(const json& v, std::vector<float>& slopes) {
    std::string name;
    const json* params = nullptr;
    if (v.is_string()) {
        name = v.get<std::string>();
    } else if (v.is_object() && find(v, "type") && (*find(v, "type")).is_string()) {
        name = (*find(v, "type")).get<std::string>();
        params = &v;
    } else {
        refuse("the capture's activation is neither a name nor an object with a type");
    }
    static const json empty = json::object();
    const json& p = params ? *params : empty;
    Activation a;
    if (name == "Tanh") a.kind = ActivationKind::Tanh;
    else if (name == "Hardtanh") a.kind = ActivationKind::Hardtanh;
    else if (name == "ReLU") a.kind = ActivationKind::ReLU;
    else if (name == "Sigmoid") a.kind = ActivationKind::Sigmoid;
    else if (name == "SiLU") a.kind = ActivationKind::SiLU;
    else if (name == "Hardswish") a.kind = ActivationKind::Hardswish;
    else if (name == "Softsign") a.kind = ActivationKind::Softsign;
    else if (name == "Fasttanh") a.kind = ActivationKind::Fasttanh;
    else if (name == "LeakyReLU") {
        a.kind = ActivationKind::LeakyReLU;
        a.a = readFloat(p, "negative_slope", 0.01f);
    } else if (name == "PReLU") {
        a.kind = ActivationKind::PReLU;
        a.a = readFloat(p, "negative_slope", 0.01f);
        if (const json* list = findSet(p, "negative_slopes")) {
            if (!list->is_array()) refuse("the capture's PReLU slopes are not a list of numbers");
            for (const json& s : *list) {
                float f = 0.0f;
                if (!toFloat(s, f)) refuse("the capture's PReLU slopes are not a list of numbers");
                slopes.push_back(f);
            }
        }
    } else if (name == "LeakyHardtanh" || name == "LeakyHardTanh") {
        a.kind = ActivationKind::LeakyHardtanh;
        a.a = readFloat(p, "min_val", -1.0f);
        a.b = readFloat(p, "max_val", 1.0f);
        a.c = readFloat(p, "min_slope", 0.01f);
        a.d = readFloat(p, "max_slope", 0.01f);
        if (a.a > a.b) refuse("the capture's LeakyHardtanh has its limits the wrong way round");
    } else {
        refuse("unsupported capture activation: " + name);
    }
    return a;
}

void checkChannelCount(const json& config) {
    for (const char* key : {"in_channels", "out_channels"}) {
        const json* v = findSet(config, key);
        if (v && !(v->is_number() && v->get<double>() == 1.0)) refuse("unsupported capture: multi-channel audio");
    }
}

// "active" objects or flags of optional layer features: on unless said off.
bool featureOn(const json* v) {
    if (!v || v->is_null()) return false;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_object()) {
        const json* active = find(*v, "active");
        return !(active && ((active->is_boolean() && !active->get<bool>()) || active->is_null()));
    }
    return true;
}

int32_t groupsOf(const json& object, const char* key) {
    const json* v = findSet(object, key);
    if (!v) return 1;
    return v->is_number_integer() ? v->get<int32_t>() : -1;
}

uint64_t parseWaveNet(const json& config, CaptureLayout& layout) {
    checkChannelCount(config);
    if (findSet(config, "condition_dsp")) refuse("unsupported capture: conditioning model");
    if (findSet(config, "head")) refuse("unsupported capture: post-stack head");
    const json* arrays = find(config, "layers");
    if (!arrays) refuse("the capture's configuration has no layers");
    if (!arrays->is_array() || arrays->empty()) refuse("the capture's layers are not a list of layer arrays");
    if (arrays->size() > size_t(kMaxArrays))
        refuse("the capture has more than " + std::to_string(kMaxArrays) + " layer arrays");
    uint64_t count = 0;
    int64_t history = 0;
    for (const json& a : *arrays) {
        if (!a.is_object()) refuse("the capture's layers are not a list of layer arrays");
        static const char* const films[] = {"conv_pre_film", "conv_post_film", "input_mixin_pre_film",
                                             "input_mixin_post_film", "activation_pre_film",
                                             "activation_post_film", "layer1x1_post_film", "head1x1_post_film"};
        for (const char* key : films)
            if (featureOn(find(a, key))) refuse("unsupported capture: FiLM");
        if (findSet(a, "slimmable")) refuse("unsupported capture: slimmable layers");
        if (find(a, "kernel_sizes")) refuse("unsupported capture: per-layer kernel sizes");
        if (groupsOf(a, "groups_input") != 1 || groupsOf(a, "groups_input_mixin") != 1)
            refuse("unsupported capture: grouped convolutions");
        if (const json* l1 = findSet(a, "layer1x1")) {
            if (!featureOn(l1)) refuse("unsupported capture: inactive layer 1x1");
            if (l1->is_object() && groupsOf(*l1, "groups") != 1) refuse("unsupported capture: grouped convolutions");
        }
        if (const json* h1 = findSet(a, "head1x1")) {
            if (featureOn(h1)) refuse("unsupported capture: head 1x1");
            if (h1->is_object() && groupsOf(*h1, "groups") != 1) refuse("unsupported capture: grouped convolutions");
        }
        if (const json* s = findSet(a, "secondary_activation")) {
            if (!(s->is_string() && *s == "Sigmoid") && !(s->is_object() && s->value("type", "") == "Sigmoid"))
                refuse("unsupported capture: secondary activation");
        }

        WaveNetArray array;
        array.inputSize = readInt(a, "input_size", 1, kMaxChannels);
        if (readInt(a, "condition_size", 1, kMaxChannels) != 1) refuse("unsupported capture: multi-channel condition");
        array.channels = readInt(a, "channels", 1, kMaxChannels);
        if (const json* b = findSet(a, "bottleneck")) {
            if (!(b->is_number() && b->get<double>() == array.channels)) refuse("unsupported capture: bottleneck");
        }
        array.kernelSize = readInt(a, "kernel_size", 1, kMaxKernel);
        if (const json* head = findSet(a, "head")) {
            if (!head->is_object()) refuse("the capture's layer head is not an object");
            if (readInt(*head, "kernel_size", 1, kMaxKernel) != 1) refuse("unsupported capture: convolutional head");
            array.headSize = readInt(*head, "out_channels", 1, kMaxChannels);
            array.headBias = readBool(*head, "bias", false);
        } else {
            array.headSize = readInt(a, "head_size", 1, kMaxChannels);
            array.headBias = readBool(a, "head_bias", false);
        }
        const std::vector<int32_t> dilations = readDilations(a);
        const size_t layers = dilations.size();

        // Activation and gating: one for all layers, or one per layer.
        const json* act = find(a, "activation");
        if (!act) refuse("the capture's configuration has no activation");
        std::vector<bool> gated(layers, readBool(a, "gated", false));
        if (const json* mode = findSet(a, "gating_mode")) {
            auto gating = [](const json& m) {
                if (m == "none") return false;
                if (m == "gated") return true;
                if (m == "blended") refuse("unsupported capture: blended gating");
                refuse("the capture's gating mode is not none, gated or blended");
            };
            if (mode->is_array()) {
                if (mode->size() != layers) refuse("the capture's gating modes do not match its layers");
                for (size_t l = 0; l < layers; ++l) gated[l] = gating((*mode)[l]);
            } else {
                std::fill(gated.begin(), gated.end(), gating(*mode));
            }
        }
        if (act->is_array() && act->size() != layers) refuse("the capture's activations do not match its layers");
        for (size_t l = 0; l < layers; ++l) {
            WaveNetLayer layer;
            layer.dilation = dilations[l];
            layer.activation = readActivation(act->is_array() ? (*act)[l] : *act, layer.slopes);
            if (!layer.slopes.empty() && layer.slopes.size() != size_t(array.channels))
                refuse("the capture's PReLU slopes do not match its channels");
            layer.gated = gated[l];
            history += int64_t(array.channels) * dilations[l] * (array.kernelSize - 1);
            layout.prewarm += int64_t(dilations[l]) * (array.kernelSize - 1);
            array.layers.push_back(std::move(layer));
        }
        if (history > kMaxHistory || layout.prewarm > kMaxReach) refuse("the capture's receptive field is too long");

        if (!layout.arrays.empty()) {
            const WaveNetArray& before = layout.arrays.back();
            if (array.inputSize != before.channels || array.channels != before.headSize)
                refuse("the capture's layer arrays do not fit together");
        } else if (array.inputSize != 1) {
            refuse("unsupported capture: multi-channel input");
        }
        const uint64_t c = array.channels, k = array.kernelSize;
        count += c * array.inputSize;
        for (const WaveNetLayer& layer : array.layers) {
            const uint64_t z = layer.gated ? 2 * c : c;
            count += z * c * k + z + z + c * c + c;
        }
        count += uint64_t(array.headSize) * c + (array.headBias ? array.headSize : 0);
        layout.arrays.push_back(std::move(array));
    }
    if (layout.arrays.back().headSize != 1) refuse("unsupported capture: multi-channel output");
    layout.prewarm += 1;
    return count + 1; // the head scale
}

uint64_t parseLstm(const json& config, CaptureLayout& layout) {
    checkChannelCount(config);
    if (readInt(config, "input_size", 1, kMaxChannels) != 1) refuse("unsupported capture: multi-channel input");
    layout.hiddenSize = readInt(config, "hidden_size", 1, kMaxHidden);
    layout.lstmLayers = readInt(config, "num_layers", 1, kMaxLstmLayers);
    const uint64_t h = layout.hiddenSize;
    uint64_t count = h + 1;
    for (int32_t n = 0; n < layout.lstmLayers; ++n) count += 4 * h * ((n == 0 ? 1 : h) + h) + 4 * h + 2 * h;
    return count;
}

uint64_t parseLinear(const json& config, CaptureLayout& layout) {
    checkChannelCount(config);
    layout.receptiveField = readInt(config, "receptive_field", 1, kMaxLinear);
    layout.bias = readBool(config, "bias", false);
    return uint64_t(layout.receptiveField) + (layout.bias ? 1 : 0);
}

uint64_t parseConvNet(const json& config, CaptureLayout& layout) {
    checkChannelCount(config);
    if (groupsOf(config, "groups") != 1) refuse("unsupported capture: grouped convolutions");
    layout.channels = readInt(config, "channels", 1, kMaxChannels);
    layout.dilations = readDilations(config);
    layout.batchnorm = readBool(config, "batchnorm", false);
    const json* act = find(config, "activation");
    if (!act) refuse("the capture's configuration has no activation");
    layout.activation = readActivation(*act, layout.slopes);
    if (!layout.slopes.empty() && layout.slopes.size() != size_t(layout.channels))
        refuse("the capture's PReLU slopes do not match its channels");
    const uint64_t c = layout.channels;
    uint64_t count = c + 1;
    int64_t history = 0;
    for (size_t j = 0; j < layout.dilations.size(); ++j) {
        count += c * (j == 0 ? 1 : c) * 2 + (layout.batchnorm ? 4 * c + 1 : c);
        history += int64_t(c) * layout.dilations[j];
        layout.prewarm += layout.dilations[j];
    }
    if (history > kMaxHistory || layout.prewarm > kMaxReach) refuse("the capture's receptive field is too long");
    layout.prewarm += 1;
    return count;
}

bool parseVersion(const std::string& text, int (&parts)[3]) {
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
        long value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + (text[at++] - '0');
            if (value > 1000000) return false;
        }
        parts[i] = int(value);
        if (i < 2 && (at >= text.size() || text[at++] != '.')) return false;
    }
    return at == text.size();
}

std::shared_ptr<const CaptureFile> parse(const std::string& text) {
    const json root = json::parse(text, nullptr, false);
    if (root.is_discarded()) refuse("the capture file is not valid json");
    if (!root.is_object()) refuse("the capture file is not a json object");

    const json* version = find(root, "version");
    if (!version) refuse("the capture has no version");
    if (!version->is_string()) refuse("the capture's version is not a string");
    int v[3] = {};
    if (!parseVersion(version->get<std::string>(), v))
        refuse("the capture's version is not a version number: " + version->get<std::string>());
    if (v[0] != 0 || v[1] < 5 || v[1] > 7) refuse("unsupported capture version: " + version->get<std::string>());

    const json* architecture = find(root, "architecture");
    if (!architecture) refuse("the capture has no architecture");
    if (!architecture->is_string()) refuse("the capture's architecture is not a string");
    const json* config = find(root, "config");
    if (!config) refuse("the capture has no configuration");
    const json* weights = find(root, "weights");
    if (!weights) refuse("the capture has no weights");

    auto file = std::make_shared<CaptureFile>();
    auto layout = std::make_shared<CaptureLayout>();
    file->architecture = architecture->get<std::string>();
    // The architecture decides first: a container's configuration is not ours to judge.
    uint64_t expected = 0;
    const std::string& name = file->architecture;
    if (name != "WaveNet" && name != "LSTM" && name != "Linear" && name != "ConvNet")
        refuse("unsupported capture architecture: " + name);
    if (!config->is_object()) refuse("the capture's configuration is not an object");
    if (name == "WaveNet") {
        layout->kind = CaptureKind::WaveNet;
        expected = parseWaveNet(*config, *layout);
    } else if (name == "LSTM") {
        layout->kind = CaptureKind::Lstm;
        expected = parseLstm(*config, *layout);
    } else if (name == "Linear") {
        layout->kind = CaptureKind::Linear;
        expected = parseLinear(*config, *layout);
    } else {
        layout->kind = CaptureKind::ConvNet;
        expected = parseConvNet(*config, *layout);
    }

    if (!weights->is_array()) refuse("the capture's weights are not a list of numbers");
    if (weights->size() != expected)
        refuse("the capture has " + std::to_string(weights->size()) + " weights where its configuration needs " +
               std::to_string(expected));
    layout->weights.reserve(weights->size());
    for (const json& w : *weights) {
        if (!w.is_number()) refuse("the capture's weights are not a list of numbers");
        float f = 0.0f;
        if (!toFloat(w, f)) refuse("the capture has a weight that is not finite");
        layout->weights.push_back(f);
    }

    if (const json* rate = findSet(root, "sample_rate")) {
        if (!rate->is_number() || !(rate->get<double>() > 0.0) || !std::isfinite(rate->get<double>()))
            refuse("the capture's sample rate is not a positive number");
        if (rate->get<double>() > kMaxRate) refuse("the capture's sample rate is above 768 kHz");
        file->sampleRate = rate->get<double>();
    }
    if (const json* meta = findSet(root, "metadata")) {
        if (!meta->is_object()) refuse("the capture's metadata is not an object");
        file->metadata = *meta;
        if (const json* loudness = findSet(*meta, "loudness"))
            if (loudness->is_number() && std::isfinite(loudness->get<double>())) file->loudness = loudness->get<double>();
    }
    if (layout->kind == CaptureKind::Lstm) // half a second of the training rate
        layout->prewarm = file->sampleRate > 0.0 ? int64_t(std::floor(0.5 * file->sampleRate)) : 1;
    else if (layout->kind == CaptureKind::Linear)
        layout->prewarm = 0;
    file->layout = std::move(layout);
    return file;
}

} // namespace

std::shared_ptr<const CaptureFile> parseCapture(const std::string& text, std::string& error) {
    try {
        return parse(text);
    } catch (const Refusal& r) {
        error = r.what;
    } catch (const std::bad_alloc&) {
        error = "the capture is too large to load";
    } catch (const std::exception&) {
        error = "the capture file is malformed";
    } catch (...) {
        error = "the capture file is malformed";
    }
    return nullptr;
}

std::shared_ptr<const CaptureFile> loadCaptureFile(const std::string& path, std::string& error) {
    std::FILE* f = filepath::open(path, "rb");
    if (!f) {
        error = "cannot open the capture file";
        return nullptr;
    }
    std::string text;
    char chunk[65536];
    size_t got = 0;
    bool tooLarge = false;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (text.size() + got > size_t(kMaxFileBytes)) {
            tooLarge = true;
            break;
        }
        text.append(chunk, got);
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (tooLarge) {
        error = "the capture file is too large";
        return nullptr;
    }
    if (failed) {
        error = "cannot read the capture file";
        return nullptr;
    }
    return parseCapture(text, error);
}

} // namespace corvena
