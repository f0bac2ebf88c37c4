#include "engine/Engine.h"

namespace corvena {
// Placeholder until recording lands.
bool Engine::startRecording(const std::string& di, const std::string&, std::string& error) {
    if (!streamOpen.load()) { error = "no audio stream is open"; return false; }
    if (recording.load()) { error = "already recording"; return false; }
    if (di.empty()) { error = "a DI path is required"; return false; }
    error = "could not open " + di + " for writing";
    return false;
}
bool Engine::stopRecording(RecordingResult&, std::string& error) {
    error = "not recording";
    return false;
}
void Engine::writerLoop() {}
} // namespace corvena
