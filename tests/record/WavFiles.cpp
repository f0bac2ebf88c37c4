#include "WavFiles.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include "support/Process.h"
#include <sndfile.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace corvena::test {

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

static uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | uint32_t(b.at(at + 3)) << 24;
}

std::vector<int32_t> readSamples(const std::string& path) {
    std::vector<int32_t> samples;
#ifdef _WIN32
    const auto b = readBytes(path);
    for (size_t at = 44; at + 3 <= b.size(); at += 3)
        samples.push_back(int32_t(uint32_t(b[at]) << 8 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 24) >> 8);
#else
    SF_INFO info{};
    if (SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info)) {
        samples.resize(size_t(info.frames * info.channels));
        samples.resize(size_t(sf_read_int(f, samples.data(), sf_count_t(samples.size()))));
        for (auto& s : samples) s >>= 8; // libsndfile scales 24-bit codes to 32 bits
        sf_close(f);
    }
#endif
    return samples;
}

std::string checkWav(const std::string& path, uint32_t rate, int64_t frames) {
    const auto b = readBytes(path);
    if (b.size() < 44) return path + ": only " + std::to_string(b.size()) + " bytes";
    std::ostringstream why;
    const uint32_t dataSize = le32(b, 40);
    if (std::string(b.begin(), b.begin() + 4) != "RIFF") why << "no RIFF tag; ";
    if (le32(b, 4) != dataSize + 36) why << "RIFF size " << le32(b, 4) << " for data " << dataSize << "; ";
    if (b.size() != 44u + dataSize) why << b.size() << " bytes, header says " << 44u + dataSize << "; ";
    if (le32(b, 24) != rate) why << "rate " << le32(b, 24) << "; ";
    if ((b[20] | b[21] << 8) != 1 || (b[22] | b[23] << 8) != 1 || (b[34] | b[35] << 8) != 24) why << "not 24-bit PCM mono; ";
    if (frames >= 0 && dataSize != frames * 3) why << dataSize / 3 << " frames, expected " << frames << "; ";
    const std::string text = why.str();
    return text.empty() ? text : path + ": " + text;
}

TestFolder::TestFolder() {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-'); // parameterised tests
#ifdef _WIN32
    const auto folder = std::filesystem::temp_directory_path() / ("corvena-" + name);
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    dir = folder.u8string();
#else
    dir = freshTempDir(name);
#endif
}

TestFolder::~TestFolder() { std::filesystem::remove_all(std::filesystem::u8path(dir)); }

} // namespace corvena::test
