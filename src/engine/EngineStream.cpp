#include "engine/AudioApi.h"
#include "engine/Engine.h"

// Placeholder until devices and streams are implemented.
namespace corvena {

std::vector<DeviceRecord> Engine::listDevices() { return {}; }

bool Engine::open(const OpenRequest&, StreamInfo&, std::string& error) {
    close();
    error = "could not open the audio stream";
    return false;
}

void Engine::close() {
    audio.reset();
    streamOpen.store(false);
    info = StreamInfo{};
}

} // namespace corvena
