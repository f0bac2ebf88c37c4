#include "record/WavWriter.h"
#include "record/FilePath.h"

#include <algorithm>

namespace corvena {

namespace {

void put16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void put32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Upper bound first so that NaN lands on full scale; -8388608 is never produced.
int32_t toPcm24(float x) {
    if (!(x < 1.0f)) x = 1.0f;
    if (x < -1.0f) x = -1.0f;
    return static_cast<int32_t>(x * 8388607.0f);
}

bool patch32(std::FILE* file, long offset, uint32_t value) {
    uint8_t bytes[4];
    put32(bytes, value);
    if (std::fseek(file, offset, SEEK_SET) != 0) return false;
    return std::fwrite(bytes, 1, 4, file) == 4;
}

} // namespace

WavWriter::~WavWriter() { finalize(); }

bool WavWriter::open(const std::string& path, int32_t sampleRate, int32_t channels) {
    finalize();
    if (channels < 1 || sampleRate < 1) return false;

    std::FILE* file = filepath::open(path, "wb");
    if (file == nullptr) return false;

    path_ = path;
    sampleRate_ = sampleRate;
    channels_ = channels;
    framesWritten_ = 0;
    cut_ = false;

    const uint32_t blockAlign = static_cast<uint32_t>(channels) * 3u;
    uint8_t header[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    put32(header + 16, 16);
    put16(header + 20, 1);
    put16(header + 22, static_cast<uint32_t>(channels));
    put32(header + 24, static_cast<uint32_t>(sampleRate));
    put32(header + 28, static_cast<uint32_t>(sampleRate) * blockAlign);
    put16(header + 32, blockAlign);
    put16(header + 34, 24);
    header[36] = 'd';
    header[37] = 'a';
    header[38] = 't';
    header[39] = 'a';
    if (std::fwrite(header, 1, sizeof header, file) != sizeof header) {
        std::fclose(file);
        return false;
    }
    file_ = file;
    return true;
}

bool WavWriter::writeSamples(const float* samples, int32_t frames) {
    if (file_ == nullptr || frames < 1) return false;

    // Never let the data outgrow what the 32-bit size fields can describe:
    // take what still fits and mark the file as cut.
    const uint64_t blockAlign = static_cast<uint64_t>(channels_) * 3u;
    const uint64_t room = dataLimit_ / blockAlign - std::min(framesWritten_, dataLimit_ / blockAlign);
    uint64_t take = static_cast<uint64_t>(frames);
    if (take > room) {
        cut_ = true;
        take = room;
        if (take == 0) return false;
    }

    const size_t count = static_cast<size_t>(take) * static_cast<size_t>(channels_);
    bytes_.resize(count * 3);
    uint8_t* out = bytes_.data();
    for (size_t i = 0; i < count; ++i, out += 3) {
        const int32_t v = toPcm24(samples[i]);
        out[0] = static_cast<uint8_t>(v);
        out[1] = static_cast<uint8_t>(v >> 8);
        out[2] = static_cast<uint8_t>(v >> 16);
    }
    if (std::fwrite(bytes_.data(), 1, bytes_.size(), file_) != bytes_.size()) return false;
    framesWritten_ += take;
    return take == static_cast<uint64_t>(frames);
}

bool WavWriter::finalize() {
    if (file_ == nullptr) return true;
    const uint64_t dataBytes = framesWritten_ * static_cast<uint64_t>(channels_) * 3u;
    const uint32_t dataSize = static_cast<uint32_t>(dataBytes);
    const uint32_t riffSize = static_cast<uint32_t>(dataBytes + 36);

    std::FILE* file = file_;
    file_ = nullptr;
    bool ok = patch32(file, 4, riffSize) && patch32(file, 40, dataSize);
    if (std::fclose(file) != 0) ok = false;
    return ok;
}

} // namespace corvena
