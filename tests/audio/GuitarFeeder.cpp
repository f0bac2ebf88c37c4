// corvena-guitar-feeder: the demo's guitar. Plays a strummed guitar into
// Corvena:inport 0 on the JACK server JACK_DEFAULT_SERVER names (the dummy driver
// will do, no sound card) and prints what the engine's outputs send back, until
// SIGINT or SIGTERM.
#include "AudioSession.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

std::atomic<bool> stopRequested{false};
void onSignal(int) { stopRequested.store(true); }

// Karplus-Strong plucked strings: a delay line of noise, averaged and damped on
// every pass, sounds much like a picked string. Strums an Em - C - G - D round.
std::vector<float> guitarLoop(double rate) {
    const std::vector<std::vector<double>> chords = {
        {82.41, 123.47, 164.81, 196.00, 246.94, 329.63}, // Em
        {130.81, 164.81, 196.00, 261.63, 329.63},        // C
        {98.00, 123.47, 146.83, 196.00, 246.94, 392.00}, // G
        {146.83, 220.00, 293.66, 369.99},                // D
    };
    const double strumSeconds = 1.0; // two strums a chord
    std::vector<float> out(static_cast<size_t>(2 * chords.size() * strumSeconds * rate), 0.0f);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    for (size_t strum = 0; strum < 2 * chords.size(); ++strum) {
        const auto& chord = chords[strum / 2];
        for (size_t s = 0; s < chord.size(); ++s) {
            const size_t period = static_cast<size_t>(rate / chord[s]);
            std::vector<float> line(period);
            for (auto& x : line) x = noise(random);
            const size_t at = static_cast<size_t>((strum * strumSeconds + 0.012 * s) * rate);
            for (size_t i = 0; i < strumSeconds * rate && at + i < out.size(); ++i) {
                const size_t k = i % period;
                out[at + i] += 0.12f * line[k];
                line[k] = 0.996f * 0.5f * (line[k] + line[(k + 1) % period]);
            }
        }
    }
    const float peak = corvena::test::peakOf(out);
    for (auto& x : out) x *= 0.6f / peak; // a hot single-coil pickup
    return out;
}

} // namespace

int main() {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    corvena::test::JackPeer peer(server ? server : "default", "GuitarFeeder", 1, 2);
    if (!peer.ok()) {
        std::fprintf(stderr, "feeder: %s\n", peer.error().c_str());
        return 1;
    }
    peer.setLoop(0, guitarLoop(peer.sampleRate()));
    if (!peer.connectToEngine()) {
        std::fprintf(stderr, "feeder: the engine's ports (Corvena:inport 0, outport 0/1) did not appear\n");
        return 1;
    }
    std::printf("feeder: playing a strummed guitar into Corvena:inport 0 at %u Hz\n", peer.sampleRate());
    std::fflush(stdout);
    while (!stopRequested.load() && !peer.serverGone()) {
        // Half a second of the engine's output, as heard on the monitors.
        auto out = peer.capture(peer.sampleRate() / 2, std::chrono::seconds(2));
        if (out.size() == 2 && !out[0].empty())
            std::printf("feeder: engine output peak  left %.3f  right %.3f\n", corvena::test::peakOf(out[0]),
                        corvena::test::peakOf(out[1]));
        std::fflush(stdout);
    }
    return 0;
}
