#pragma once
#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>

namespace corvena {

struct CaptureLayout; // the architecture's parsed configuration (CaptureFile.cpp)

// A parsed and validated capture (.nam). Immutable once made: any number of
// networks may be built from one (the live stream and an offline render each
// run their own).
struct CaptureFile {
    std::string architecture;       // "WaveNet", "LSTM", "Linear" or "ConvNet"
    double sampleRate = 0.0;        // the rate it was trained at; 0 when the file does not say
    std::optional<double> loudness; // metadata.loudness, dB
    nlohmann::json metadata;        // as given in the file (null when absent)
    std::shared_ptr<const CaptureLayout> layout;
};

// Parses and validates the text of a .nam file. Never throws: on failure the
// result is null and `error` says why in one short sentence.
std::shared_ptr<const CaptureFile> parseCapture(const std::string& text, std::string& error);
// The same for a file named by a UTF-8 path.
std::shared_ptr<const CaptureFile> loadCaptureFile(const std::string& path, std::string& error);

} // namespace corvena
