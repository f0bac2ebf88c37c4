#include "capture/ImpulseResponse.h"
#include "record/FilePath.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace corvena {

namespace {

constexpr double longestSeconds = 10.0;

struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
struct SoundClose {
    void operator()(SNDFILE* f) const { sf_close(f); }
};

// 64-bit offsets on both platforms (long is 32 bits on Windows).
int64_t tellOf(std::FILE* f) {
#ifdef _WIN32
    return _ftelli64(f);
#else
    return ftello(f);
#endif
}
int seekTo(std::FILE* f, int64_t offset, int whence) {
#ifdef _WIN32
    return _fseeki64(f, offset, whence);
#else
    return fseeko(f, off_t(offset), whence);
#endif
}

// libsndfile reads through the FILE* that the path seam opened, so that the
// path's spelling is the platform's business and not libsndfile's.
struct Source {
    std::FILE* file;
    sf_count_t length;
};
sf_count_t sourceLength(void* user) { return static_cast<Source*>(user)->length; }
sf_count_t sourceSeek(sf_count_t offset, int whence, void* user) {
    std::FILE* f = static_cast<Source*>(user)->file;
    return seekTo(f, offset, whence) == 0 ? tellOf(f) : -1;
}
sf_count_t sourceRead(void* data, sf_count_t count, void* user) {
    return sf_count_t(std::fread(data, 1, size_t(count), static_cast<Source*>(user)->file));
}
sf_count_t sourceWrite(const void*, sf_count_t, void*) { return 0; }
sf_count_t sourceTell(void* user) { return tellOf(static_cast<Source*>(user)->file); }

} // namespace

bool loadImpulseResponse(const std::string& path, ImpulseResponse& out, std::string& error) {
    std::unique_ptr<std::FILE, FileClose> file(filepath::open(path, "rb"));
    if (!file) return error = "cannot open the file", false;
    Source source{file.get(), 0};
    if (seekTo(file.get(), 0, SEEK_END) != 0 || (source.length = tellOf(file.get())) < 0 || seekTo(file.get(), 0, SEEK_SET) != 0)
        return error = "cannot read the file", false;
    if (source.length == 0) return error = "the file is empty", false;

    SF_VIRTUAL_IO io{sourceLength, sourceSeek, sourceRead, sourceWrite, sourceTell};
    SF_INFO info{};
    std::unique_ptr<SNDFILE, SoundClose> sound(sf_open_virtual(&io, SFM_READ, &info, &source));
    if (!sound || info.channels < 1 || info.samplerate < 1) return error = "not an audio file", false;
    if (info.frames <= 0) return error = "the file holds no audio", false;
    if (double(info.frames) > longestSeconds * info.samplerate)
        return error = "the response is longer than 10 s", false;

    const auto channels = size_t(info.channels);
    std::vector<float> frames(size_t(info.frames) * channels);
    if (sf_readf_float(sound.get(), frames.data(), info.frames) != info.frames)
        return error = "cannot read the file", false;
    std::vector<float> samples(size_t(info.frames));
    bool heard = false;
    for (size_t i = 0; i < samples.size(); ++i) {
        const float v = frames[i * channels];
        if (!std::isfinite(v)) return error = "the response holds samples that are not finite", false;
        heard = heard || v != 0.0f;
        samples[i] = v;
    }
    if (!heard) return error = "the response is silent", false;

    out.samples = std::move(samples);
    out.sampleRate = double(info.samplerate);
    out.channels = uint32_t(info.channels);
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
