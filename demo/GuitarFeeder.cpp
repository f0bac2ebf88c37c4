// corvena-guitar-feeder: the demo's guitar. Plays a strummed guitar into
// Corvena:inport 0 on the JACK server JACK_DEFAULT_SERVER names (the dummy driver
// will do, no sound card) and prints what the engine's outputs send back, until
// SIGINT or SIGTERM.
#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> stopRequested{false};

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
    float peak = 0.0f;
    for (float x : out) peak = std::max(peak, std::fabs(x));
    for (auto& x : out) x *= 0.6f / peak; // a hot single-coil pickup
    return out;
}

struct Feeder {
    jack_port_t* guitar = nullptr;
    jack_port_t* monitor[2] = {};
    std::vector<float> loop;
    size_t at = 0;
    std::atomic<float> peak[2] = {};
};

int process(jack_nframes_t n, void* arg) {
    auto* f = static_cast<Feeder*>(arg);
    auto* out = static_cast<float*>(jack_port_get_buffer(f->guitar, n));
    for (jack_nframes_t i = 0; i < n; ++i, f->at = (f->at + 1) % f->loop.size()) out[i] = f->loop[f->at];
    for (int c = 0; c < 2; ++c) {
        const auto* in = static_cast<const float*>(jack_port_get_buffer(f->monitor[c], n));
        float peak = f->peak[c].load();
        for (jack_nframes_t i = 0; i < n; ++i) peak = std::max(peak, std::fabs(in[i]));
        f->peak[c].store(peak);
    }
    return 0;
}

// Connects once the engine's port exists (it may still be opening its stream).
bool connect(jack_client_t* client, const std::string& from, const std::string& to) {
    for (int tries = 0; tries < 150; ++tries, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (jack_port_by_name(client, from.c_str()) && jack_port_by_name(client, to.c_str()))
            return jack_connect(client, from.c_str(), to.c_str()) == 0;
    return false;
}

} // namespace

int main() {
    std::signal(SIGINT, [](int) { stopRequested.store(true); });
    std::signal(SIGTERM, [](int) { stopRequested.store(true); });
    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    jack_client_t* client = jack_client_open("GuitarFeeder", JackOptions(JackNoStartServer | JackServerName), nullptr,
                                             server ? server : "default");
    if (!client) {
        std::fprintf(stderr, "feeder: cannot connect to the JACK server %s\n", server ? server : "default");
        return 1;
    }
    Feeder feeder;
    feeder.loop = guitarLoop(jack_get_sample_rate(client));
    feeder.guitar = jack_port_register(client, "guitar", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    for (int c = 0; c < 2; ++c)
        feeder.monitor[c] = jack_port_register(client, c ? "right" : "left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client, process, &feeder);
    jack_on_shutdown(client, [](void*) { stopRequested.store(true); }, nullptr);
    const std::string me = jack_get_client_name(client);
    if (jack_activate(client) != 0 || !connect(client, me + ":guitar", "Corvena:inport 0") ||
        !connect(client, "Corvena:outport 0", me + ":left") || !connect(client, "Corvena:outport 1", me + ":right")) {
        std::fprintf(stderr, "feeder: the engine's ports (Corvena:inport 0, outport 0/1) did not appear\n");
        jack_client_close(client);
        return 1;
    }
    std::printf("feeder: playing a strummed guitar into Corvena:inport 0 at %u Hz\n", jack_get_sample_rate(client));
    std::fflush(stdout);
    while (!stopRequested.load()) {
        // Half a second of the engine's output, as heard on the monitors.
        for (int i = 0; i < 50 && !stopRequested.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::printf("feeder: engine output peak  left %.3f  right %.3f\n", feeder.peak[0].exchange(0.0f),
                    feeder.peak[1].exchange(0.0f));
        std::fflush(stdout);
    }
    jack_client_close(client);
    return 0;
}
