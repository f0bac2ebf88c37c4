#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace corvena {

// 24-bit integer PCM WAV file writer. The header is written with zero sizes
// and patched by finalize, so a take of any length is written in one pass.
// (Interface fixed; the recording work fills in the private part.)
class WavWriter {
public:
    // Largest data chunk, in bytes, that keeps the RIFF size within 32 bits.
    static constexpr uint64_t maxDataBytes = 0xFFFFFFFFull - 36;

    // A writer whose files stop growing before their data chunk passes
    // `dataLimit` bytes (a take's files cut early, without 4 GiB of writing).
    explicit WavWriter(uint64_t dataLimit = maxDataBytes) : dataLimit_(dataLimit) {}
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(const std::string& path, int32_t sampleRate, int32_t channels);
    bool writeSamples(const float* samples, int32_t frames);
    bool finalize();
    bool isOpen() const { return file_ != nullptr; }

    // Frames whose bytes all reached the file since the last open.
    uint64_t framesWritten() const { return framesWritten_; }
    // The last file opened stopped taking samples because its sizes would no
    // longer fit the header's 32-bit fields. Cleared by open.
    bool wasCut() const { return cut_; }

private:
    std::FILE* file_ = nullptr;
    std::string path_;
    int32_t sampleRate_ = 48000;
    int32_t channels_ = 1;
    uint64_t framesWritten_ = 0;
    uint64_t dataLimit_;
    bool cut_ = false;
    std::vector<uint8_t> bytes_; // conversion buffer, reused between appends
};

} // namespace corvena
