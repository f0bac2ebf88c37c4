#pragma once
// Reading WAV files back in tests: raw bytes for the header, and libsndfile
// as an independent reader for format and contents.
#include <cstdint>
#include <string>
#include <vector>

namespace corvena::test {

std::vector<uint8_t> readBytes(const std::string& path);
uint32_t le32(const std::vector<uint8_t>& bytes, size_t at);
uint16_t le16(const std::vector<uint8_t>& bytes, size_t at);
int32_t le24(const std::vector<uint8_t>& bytes, size_t at); // sign-extended

struct SndInfo {
    bool opened = false;
    int64_t frames = 0;
    int rate = 0;
    int channels = 0;
    int format = 0;
    std::vector<int32_t> samples; // 24-bit sample values
};
// Opens the file with libsndfile; samples are read only when wanted.
SndInfo readWithSndfile(const std::string& path, bool wantSamples = true);

// Checks the things every finished take must satisfy: a 24-bit mono PCM WAV
// whose header sizes match the file's length. Returns an empty string when
// everything holds, otherwise what is wrong.
std::string checkConsistentWav(const std::string& path, uint32_t rate);

bool fileExists(const std::string& path);

// A new, empty directory under the system's temporary directory.
std::string makeTempDir(const std::string& tag);

} // namespace corvena::test
