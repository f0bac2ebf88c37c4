#include "capture/ImpulseResponse.h"
#include "record/SoundFileReader.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace corvena {

namespace {

constexpr double longestSeconds = 10.0;

} // namespace

bool loadImpulseResponse(const std::string& path, ImpulseResponse& out, std::string& error) {
    SoundFileReader file;
    if (!file.open(path, error)) return false;
    if (file.frames() == 0) return error = "the impulse response is empty", false;
    if (double(file.frames()) > longestSeconds * file.sampleRate())
        return error = "the impulse response is longer than 10 s", false;

    std::vector<float> samples(size_t(file.frames()));
    if (file.read(0, samples.data(), int64_t(samples.size())) != int64_t(samples.size()))
        return error = "cannot read " + path, false;
    bool heard = false;
    for (float v : samples) {
        if (!std::isfinite(v)) return error = "the impulse response holds samples that are not finite", false;
        heard = heard || v != 0.0f;
    }
    if (!heard) return error = "the impulse response is silent", false;

    out.samples = std::move(samples);
    out.sampleRate = file.sampleRate();
    out.channels = file.channels();
    error.clear();
    return true;
}

namespace {

std::vector<float> resampleWithSoxr(const std::vector<float>& in, double fromRate, double toRate) {
    std::vector<float> out(size_t(std::ceil(double(in.size()) * toRate / fromRate)) + 1);
    size_t written = 0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ | SOXR_MINIMUM_PHASE, 0);
    if (soxr_oneshot(fromRate, toRate, 1, in.data(), in.size(), nullptr, out.data(), out.size(), &written, &io, &quality,
                     nullptr))
        return {};
    out.resize(written);
    return out;
}

} // namespace

std::vector<float> resampleImpulse(const std::vector<float>& samples, double fromRate, double toRate) {
    if (samples.empty() || fromRate <= 0 || toRate <= 0 || fromRate == toRate) return samples;
    // A response usually starts at full strength on its first sample. A
    // linear-phase resampler rings before such an onset, and cutting that off
    // changes the spectrum by a dB or more; moving the ringing after the onset
    // (minimum phase) would add delay. So: minimum phase, with room (zeros) on
    // both sides, and the result starts where the resampler's response to an
    // impulse at the same place starts.
    const auto room = size_t(std::ceil(128.0 * std::max(1.0, fromRate / toRate)));
    std::vector<float> padded(room + samples.size() + room, 0.0f);
    std::copy(samples.begin(), samples.end(), padded.begin() + long(room));
    std::vector<float> probe(2 * room + 1, 0.0f);
    probe[room] = 1.0f;
    std::vector<float> out = resampleWithSoxr(padded, fromRate, toRate);
    const std::vector<float> response = resampleWithSoxr(probe, fromRate, toRate);
    if (out.empty() || response.empty()) return {};
    float peak = 0.0f;
    for (float v : response) peak = std::max(peak, std::abs(v));
    size_t start = 0;
    while (start < response.size() && std::abs(response[start]) < 1e-4f * peak) ++start;
    out.erase(out.begin(), out.begin() + long(std::min(start, out.size())));
    // Band-limited resampling keeps the waveform's amplitude; a response sampled
    // more densely then sums toRate / fromRate times as much. Scaling back keeps
    // its frequency response, which is what a cabinet's level is.
    const auto scale = float(fromRate / toRate);
    for (float& v : out) v *= scale;
    return out;
}

void normalizeEnergy(std::vector<float>& samples) {
    double energy = 0.0;
    for (float v : samples) energy += double(v) * v;
    if (energy <= 0.0 || !std::isfinite(energy)) return;
    const auto scale = float(1.0 / std::sqrt(energy));
    for (float& v : samples) v *= scale;
}

} // namespace corvena
