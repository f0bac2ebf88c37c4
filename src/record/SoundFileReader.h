#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;

namespace corvena {

// Reads any file libsndfile reads (WAV of any sample format, FLAC, AIFF, …)
// named by a UTF-8 path, one channel at a time, as float.
class SoundFileReader {
public:
    SoundFileReader() = default;
    ~SoundFileReader();
    SoundFileReader(const SoundFileReader&) = delete;
    SoundFileReader& operator=(const SoundFileReader&) = delete;

    // False with "cannot open <path>" or "not an audio file: <path>".
    bool open(const std::string& path, std::string& error);
    void close();

    uint64_t frames() const { return frames_; }
    uint32_t channels() const { return channels_; }
    double sampleRate() const { return sampleRate_; }

    // The next frames (up to `count`) of one channel; fewer at the end, 0 at
    // the end or on a read error (then `failed`).
    int64_t read(uint32_t channel, float* out, int64_t count);
    bool failed() const { return failed_; }

private:
    std::FILE* file_ = nullptr;
    SNDFILE* sound_ = nullptr;
    uint64_t frames_ = 0;
    uint32_t channels_ = 0;
    double sampleRate_ = 0.0;
    bool failed_ = false;
    std::vector<float> interleaved_;
};

} // namespace corvena
