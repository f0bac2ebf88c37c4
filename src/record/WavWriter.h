#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace corvena {

// 24-bit integer PCM WAV file writer.
// (Interface fixed; the recording work fills in the private part.)
class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(const std::string& path, int32_t sampleRate, int32_t channels);
    bool writeSamples(const float* samples, int32_t frames);
    bool finalize();
    bool isOpen() const { return file_ != nullptr; }

private:
    std::FILE* file_ = nullptr;
    int32_t sampleRate_ = 48000;
    int32_t channels_ = 1;
    uint64_t framesWritten_ = 0;
};

} // namespace corvena
