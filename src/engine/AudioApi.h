#pragma once

namespace corvena {

// Adapter over the audio I/O library (stub until the stream work lands).
class AudioApi {
public:
    virtual ~AudioApi() = default;
};

} // namespace corvena
