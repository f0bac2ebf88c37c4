// Capture files: what is read from them, and every refusal in one table.
#include "CaptureTestKit.h"
#include "capture/CaptureFile.h"

#include <gtest/gtest.h>

namespace corvena {
namespace {
using namespace test;
using nlohmann::json;

TEST(CaptureFile, ReadsTheLevelsAndRefusesWhatItCannotRun) {
    std::string error;
    const auto small = loadCaptureFile(modelPath("wavenet"), error);
    ASSERT_TRUE(small) << error;
    EXPECT_EQ(small->sampleRate, 48000.0);
    EXPECT_NEAR(small->loudness.value_or(0.0), -20.0207, 1e-4);
    EXPECT_EQ(small->metadata["input_level_dbu"], 18.3);
    const auto standard = loadCaptureFile(modelPath("wavenet_a1_standard"), error);
    ASSERT_TRUE(standard) << error;
    EXPECT_EQ(standard->sampleRate, 0.0) << "0.5.0 files do not say";
    EXPECT_FALSE(standard->loudness);
    EXPECT_TRUE(standard->metadata.is_null());

    const std::string text = readText(modelPath("wavenet"));
    const json wavenet = json::parse(text), lstm = json::parse(readText(modelPath("lstm")));
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
    for (const auto& [edit, model, expected] : cases) {
        json j = *model;
        edit(j);
        error.clear();
        const auto file = parseCapture(j.dump(), error);
        EXPECT_EQ(error.substr(0, expected.size()), expected) << j.dump().substr(0, 300);
        EXPECT_EQ(bool(file), expected.empty()) << expected;
        if (file) EXPECT_TRUE(makeCaptureModel(*file));
    }
    // Texts that are not a capture at all, or with a number that does not fit a float.
    const size_t number = text.find_first_of("-0123456789", text.find("\"weights\""));
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"{\"version\": ", "the capture file is not valid json"},
        {"[1, 2]", "the capture file is not a json object"},
        {text.substr(0, number) + "1e39" + text.substr(text.find_first_of(",]", number)), "the capture has a weight that is not finite"},
    };
    for (const auto& [t, expected] : texts) {
        error.clear();
        EXPECT_FALSE(parseCapture(t, error));
        EXPECT_EQ(error.substr(0, expected.size()), expected) << t.substr(0, 100);
    }
}

} // namespace
} // namespace corvena
