#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace corvena {

// A cabinet impulse response as read from its file: the first channel only.
struct ImpulseResponse {
    std::vector<float> samples;
    double sampleRate = 0.0; // the file's
    uint32_t channels = 0;   // the file's
    double seconds() const { return sampleRate > 0 ? samples.size() / sampleRate : 0.0; }
};

// Reads any file libsndfile reads (UTF-8 path). Refuses files that are not
// audio, empty, silent, not finite or longer than 10 s, with a short sentence in `error`.
bool loadImpulseResponse(const std::string& path, ImpulseResponse& out, std::string& error);
// The response at another rate (libsoxr), its level kept.
std::vector<float> resampleImpulse(const std::vector<float>& samples, double fromRate, double toRate);
// Scales the response to unit energy.
void normalizeEnergy(std::vector<float>& samples);

} // namespace corvena
