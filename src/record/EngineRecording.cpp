#include "engine/Engine.h"
#include "record/DiskWriterHook.h"
#include "record/DrainRing.h"
#include "record/FilePath.h"

#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

namespace corvena {

namespace {
constexpr size_t scratchSamples = 8192;
} // namespace

__attribute__((weak)) void beforeDiskWriterPass(Engine&) {}

bool Engine::startRecording(const std::string& di, const std::string& wet, std::string& error) {
    if (!streamOpen.load()) {
        error = "no audio stream is open";
        return false;
    }
    if (recording.load()) {
        error = "already recording";
        return false;
    }
    if (di.empty()) {
        error = "a DI path is required";
        return false;
    }
    const int32_t rate = static_cast<int32_t>(info.sampleRate);
    if (!diWriter.open(di, rate, 1)) {
        error = "could not open " + di + " for writing";
        return false;
    }
    // Two spellings of one file would have two handles writing over each other.
    if (!wet.empty() && filepath::sameFile(di, wet)) {
        diWriter.finalize();
        error = "the DI and wet paths name the same file";
        return false;
    }
    if (!wet.empty() && !wetWriter.open(wet, rate, 1)) {
        diWriter.finalize(); // leaves a valid, empty WAV file behind
        error = "could not open " + wet + " for writing";
        return false;
    }

    failedTake.reset(); // a take that ended with its stream is not reported any more
    diPath = di;
    wetPath = wet;
    diRing.reset();
    wetRing.reset();
    framesRecorded.store(0);
    samplesDropped.store(false);
    writerRunning.store(true);
    try {
        writerThread = std::thread(&Engine::writerLoop, this);
    } catch (const std::system_error&) {
        // No writer, no take: close both files as valid empty WAV files.
        writerRunning.store(false);
        diWriter.finalize();
        wetWriter.finalize();
        error = "could not start the disk writer";
        return false;
    }

    metronomeResetRequested.store(true);
    recording.store(true);
    return true;
}

bool Engine::stopRecording(RecordingResult& result, std::string& error) {
    if (!recording.load() && failedTake) {
        result = *failedTake;
        error = failedTakeError;
        failedTake.reset();
        return false;
    }
    if (!recording.load()) {
        error = "not recording";
        return false;
    }
    recording.store(false);
    // A block that saw `recording` just before it was cleared may still be
    // pushing; give it time so the final drain below catches its samples.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    writerRunning.store(false);
    if (writerThread.joinable()) writerThread.join();

    const bool diFinalized = diWriter.finalize();
    const bool wetFinalized = wetWriter.finalize();
    const bool cut = diWriter.wasCut() || (!wetPath.empty() && wetWriter.wasCut());

    result.frames = framesRecorded.load();
    result.seconds = info.sampleRate == 0 ? 0.0
                                          : static_cast<double>(result.frames) / static_cast<double>(info.sampleRate);
    result.diPath = diPath;
    result.wetPath = wetPath;

    if (!diFinalized || !wetFinalized) {
        error = "the recording could not be finalised";
        return false;
    }
    if (cut) {
        error = "the recording was cut at the WAV file size limit";
        return false;
    }
    if (samplesDropped.load()) {
        error = "samples were dropped while writing to disk";
        return false;
    }
    return true;
}

void Engine::writerLoop() {
    std::vector<float> scratch(scratchSamples);
    while (writerRunning.load()) {
        beforeDiskWriterPass(*this);
        const bool diPopped = drainRing(diRing, diWriter, scratch);
        const bool wetPopped = drainRing(wetRing, wetWriter, scratch);
        if (!diPopped && !wetPopped) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Whatever the callback pushed before the capture stopped still goes to disk.
    drainRing(diRing, diWriter, scratch);
    drainRing(wetRing, wetWriter, scratch);
}

} // namespace corvena
