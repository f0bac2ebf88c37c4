#include "WavFiles.h"

#include <sndfile.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace corvena::test {

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 |
           uint32_t(b.at(at + 3)) << 24;
}

uint16_t le16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b.at(at) | b.at(at + 1) << 8); }

int32_t le24(const std::vector<uint8_t>& b, size_t at) {
    const uint32_t u = uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16;
    return static_cast<int32_t>(u << 8) >> 8;
}

SndInfo readWithSndfile(const std::string& path, bool wantSamples) {
    SndInfo out;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) return out;
    out.opened = true;
    out.frames = info.frames;
    out.rate = info.samplerate;
    out.channels = info.channels;
    out.format = info.format;
    if (wantSamples && info.frames > 0) {
        out.samples.resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
        const sf_count_t got = sf_read_int(f, out.samples.data(), static_cast<sf_count_t>(out.samples.size()));
        out.samples.resize(static_cast<size_t>(got));
        for (auto& s : out.samples) s >>= 8; // libsndfile scales 24-bit codes to 32 bits
    }
    sf_close(f);
    return out;
}

std::string checkConsistentWav(const std::string& path, uint32_t rate) {
    std::ostringstream why;
    const auto bytes = readBytes(path);
    if (bytes.size() < 44) {
        why << path << ": only " << bytes.size() << " bytes";
        return why.str();
    }
    const uint32_t dataSize = le32(bytes, 40);
    if (std::string(bytes.begin(), bytes.begin() + 4) != "RIFF") why << "no RIFF tag; ";
    if (le32(bytes, 4) != dataSize + 36) why << "RIFF size " << le32(bytes, 4) << " for data " << dataSize << "; ";
    if (bytes.size() != 44u + dataSize) why << "file has " << bytes.size() << " bytes, header says " << 44u + dataSize << "; ";
    if (le32(bytes, 24) != rate) why << "rate " << le32(bytes, 24) << "; ";
    const SndInfo info = readWithSndfile(path, false);
    if (!info.opened) why << "libsndfile cannot open it; ";
    else {
        if (info.format != (SF_FORMAT_WAV | SF_FORMAT_PCM_24)) why << "format " << std::hex << info.format << std::dec << "; ";
        if (info.channels != 1) why << info.channels << " channels; ";
        if (info.frames * 3 != dataSize) why << "libsndfile sees " << info.frames << " frames; ";
    }
    const std::string text = why.str();
    return text.empty() ? text : path + ": " + text;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string makeTempDir(const std::string& tag) {
    std::string pattern = "/tmp/corvena-" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const char* made = ::mkdtemp(buf.data());
    return made ? std::string(made) : std::string("/tmp");
}

} // namespace corvena::test
