#pragma once
// Reading takes back: raw bytes for the header, libsndfile as an independent reader
// (the Windows build has no libsndfile: there the samples are read from the bytes).
#include "record/WavWriter.h"

#include <cstdint>
#include <string>
#include <vector>

namespace corvena {

// Reaches into a WavWriter to try the 32-bit size limit without writing gigabytes.
struct WavWriterProbe {
    static void setDataLimit(WavWriter& writer, uint64_t bytes) { writer.dataLimit_ = bytes; }
    static void pretendFramesWritten(WavWriter& writer, uint64_t frames) { writer.framesWritten_ = frames; }
};

namespace test {

std::vector<uint8_t> readBytes(const std::string& path);
uint32_t le32(const std::vector<uint8_t>& bytes, size_t at);

struct SndInfo {
    bool opened = false;
    int64_t frames = 0;
    int format = 0;
    std::vector<int32_t> samples; // 24-bit codes
};
SndInfo readWithSndfile(const std::string& path);
// The reader's format code of a 24-bit PCM WAV file (libsndfile's SF_FORMAT_WAV | SF_FORMAT_PCM_24).
constexpr int kWavPcm24 = 0x010003;

// "" when `path` is a 24-bit mono PCM WAV at `rate` whose header sizes match its
// length and, unless `frames` is -1, holds that many frames; otherwise what is wrong.
std::string checkWav(const std::string& path, uint32_t rate, int64_t frames = -1);

// A fresh directory for the running test's files.
std::string testDir();

} // namespace test
} // namespace corvena
