#pragma once
// Reading takes back: raw bytes for the header, libsndfile as an independent
// reader of the samples (the Windows build has none: there they come from the bytes).
#include <cstdint>
#include <string>
#include <vector>

namespace corvena::test {

std::vector<uint8_t> readBytes(const std::string& path);
// The 24-bit codes of a mono file.
std::vector<int32_t> readSamples(const std::string& path);
// "" when `path` is a 24-bit mono PCM WAV at `rate` whose header sizes match its
// length and, unless `frames` is -1, holds that many frames; otherwise what is wrong.
// (Read from the bytes: readSamples is where libsndfile must accept the file.)
std::string checkWav(const std::string& path, uint32_t rate, int64_t frames = -1);
// A fresh folder for the running test's files, removed after everything the
// fixture holds (an engine writing into it, say) has gone.
struct TestFolder {
    TestFolder();
    ~TestFolder();
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};

} // namespace corvena::test
