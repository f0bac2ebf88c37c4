#include "record/SoundFileReader.h"
#include "record/FilePath.h"

#include <sndfile.h>

#include <algorithm>

namespace corvena {

namespace {
// libsndfile reads through our own FILE*, so paths take the platform's seam.
sf_count_t fileLength(void* user) {
    auto* file = static_cast<std::FILE*>(user);
    const int64_t at = filepath::tell(file);
    filepath::seek(file, 0, SEEK_END);
    const int64_t end = filepath::tell(file);
    filepath::seek(file, at, SEEK_SET);
    return end;
}
sf_count_t fileSeek(sf_count_t offset, int whence, void* user) {
    auto* file = static_cast<std::FILE*>(user);
    return filepath::seek(file, offset, whence) ? filepath::tell(file) : -1;
}
sf_count_t fileRead(void* out, sf_count_t count, void* user) {
    return static_cast<sf_count_t>(std::fread(out, 1, static_cast<size_t>(count), static_cast<std::FILE*>(user)));
}
sf_count_t fileWrite(const void*, sf_count_t, void*) { return 0; }
sf_count_t fileTell(void* user) { return filepath::tell(static_cast<std::FILE*>(user)); }
SF_VIRTUAL_IO virtualIo{fileLength, fileSeek, fileRead, fileWrite, fileTell};
} // namespace

SoundFileReader::~SoundFileReader() { close(); }

void SoundFileReader::close() {
    if (sound_ != nullptr) sf_close(sound_);
    sound_ = nullptr;
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

bool SoundFileReader::open(const std::string& path, std::string& error) {
    close();
    failed_ = false;
    if (filepath::isDirectory(path) || (file_ = filepath::open(path, "rb")) == nullptr) {
        error = "cannot open " + path;
        return false;
    }
    SF_INFO info{};
    sound_ = sf_open_virtual(&virtualIo, SFM_READ, &info, file_);
    if (sound_ == nullptr || info.channels <= 0 || info.samplerate <= 0) {
        close();
        error = "not an audio file: " + path;
        return false;
    }
    // Samples of integer files come as -1..1 whatever their width; floats as stored.
    sf_command(sound_, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    frames_ = info.frames > 0 ? static_cast<uint64_t>(info.frames) : 0;
    channels_ = static_cast<uint32_t>(info.channels);
    sampleRate_ = static_cast<double>(info.samplerate);
    return true;
}

int64_t SoundFileReader::read(uint32_t channel, float* out, int64_t count) {
    if (sound_ == nullptr || channel >= channels_ || count <= 0) return 0;
    if (channels_ == 1) {
        const sf_count_t got = sf_readf_float(sound_, out, count);
        if (got < count && sf_error(sound_) != SF_ERR_NO_ERROR) failed_ = true;
        return got;
    }
    const size_t needed = static_cast<size_t>(count) * channels_;
    if (interleaved_.size() < needed) interleaved_.resize(needed);
    const sf_count_t got = sf_readf_float(sound_, interleaved_.data(), count);
    if (got < count && sf_error(sound_) != SF_ERR_NO_ERROR) failed_ = true;
    for (sf_count_t i = 0; i < got; ++i) out[i] = interleaved_[static_cast<size_t>(i) * channels_ + channel];
    return got;
}

} // namespace corvena
