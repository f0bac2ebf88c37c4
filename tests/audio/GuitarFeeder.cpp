// corvena-guitar-feeder: plays a guitar-like signal into the engine's input through
// JACK and reports what comes back from the engine's outputs. Used by the demo
// script; needs only a JACK server (the dummy driver will do), no sound card.
//
//   corvena-guitar-feeder [--client Corvena] [--seconds N]
//
// The server is the one JACK_DEFAULT_SERVER names. Runs until N seconds have
// passed (default: until SIGINT or SIGTERM).
#include "support/JackPeer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> stopRequested{false};
void onSignal(int) { stopRequested.store(true); }

// Karplus-Strong plucked strings: a delay line of noise, averaged and damped on
// every pass, sounds much like a picked string. Strums an Em - C - G - D round.
std::vector<float> guitarLoop(double rate) {
    const double seconds = 8.0;
    std::vector<float> out(static_cast<size_t>(seconds * rate), 0.0f);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    const std::vector<std::vector<double>> chords = {
        {82.41, 123.47, 164.81, 196.00, 246.94, 329.63}, // Em
        {130.81, 164.81, 196.00, 261.63, 329.63},        // C
        {98.00, 123.47, 146.83, 196.00, 246.94, 392.00}, // G
        {146.83, 220.00, 293.66, 369.99},                // D
    };
    const double barSeconds = seconds / static_cast<double>(chords.size());
    for (size_t c = 0; c < chords.size(); ++c) {
        for (int strum = 0; strum < 2; ++strum) {
            const double start = (static_cast<double>(c) * barSeconds + strum * barSeconds / 2.0);
            for (size_t s = 0; s < chords[c].size(); ++s) {
                const size_t period = static_cast<size_t>(rate / chords[c][s]);
                std::vector<float> line(period);
                for (auto& x : line) x = noise(random);
                size_t at = static_cast<size_t>((start + 0.012 * static_cast<double>(s)) * rate);
                const size_t length = static_cast<size_t>(barSeconds / 2.0 * rate);
                for (size_t i = 0; i < length && at + i < out.size(); ++i) {
                    const size_t k = i % period;
                    const float next = line[(k + 1) % period];
                    out[at + i] += 0.12f * line[k];
                    line[k] = 0.996f * 0.5f * (line[k] + next);
                }
            }
        }
    }
    float peak = 0.0f;
    for (float x : out) peak = std::max(peak, std::fabs(x));
    if (peak > 0.0f)
        for (auto& x : out) x *= 0.6f / peak; // a hot single-coil pickup
    return out;
}

float peakOf(const std::vector<float>& v) {
    float p = 0.0f;
    for (float x : v) p = std::max(p, std::fabs(x));
    return p;
}

} // namespace

int main(int argc, char** argv) {
    std::string client = "Corvena";
    double seconds = 0.0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--client") == 0 && i + 1 < argc) client = argv[++i];
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--client NAME] [--seconds N]\n", argv[0]);
            return 2;
        }
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    corvena::test::JackPeer peer(server ? server : "default", "GuitarFeeder", 1, 2);
    if (!peer.ok()) {
        std::fprintf(stderr, "feeder: %s\n", peer.error().c_str());
        return 1;
    }
    peer.setLoop(0, guitarLoop(peer.sampleRate()));
    if (!peer.connectToEngine(client)) {
        std::fprintf(stderr, "feeder: the engine's ports (%s:inport 0, outport 0/1) did not appear\n", client.c_str());
        return 1;
    }
    std::printf("feeder: playing a strummed guitar into %s:inport 0 at %u Hz\n", client.c_str(), peer.sampleRate());
    std::fflush(stdout);

    const auto start = std::chrono::steady_clock::now();
    while (!stopRequested.load() && !peer.serverGone()) {
        // Half a second of the engine's output, as heard on the monitors.
        auto out = peer.capture(peer.sampleRate() / 2, std::chrono::seconds(2));
        if (out.size() == 2 && !out[0].empty())
            std::printf("feeder: engine output peak  left %.3f  right %.3f\n", peakOf(out[0]), peakOf(out[1]));
        std::fflush(stdout);
        if (seconds > 0.0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= seconds)
            break;
    }
    return 0;
}
