#pragma once
#include "support/Process.h"

#include <jack/jack.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <iterator>
#include <string>
#include <vector>

namespace corvena::test {

// A private jackd with the dummy driver, under a name and in a temp dir of its
// own, from construction (ok(): it came up) to destruction. Its period is 1024
// frames unless asked otherwise: on a loaded machine the dummy driver's timer,
// at normal priority, runs late by milliseconds, and shorter cycles get lost.
class JackServer {
public:
    struct Options {
        unsigned sampleRate, period, captureChannels, playbackChannels;
    };
    explicit JackServer(const Options& options = {48000, 1024, 2, 2})
        : name_("corvena-" + std::to_string(getpid()) + "-" + std::to_string(servers_++)),
          dir_(freshTempDir("jack-" + name_)), options_(options) {
        ok_ = start();
    }
    ~JackServer() {
        stop();
        // A killed server keeps its slot in JACK's registry of servers (there are only
        // eight); one more polite run under the same name gives the slot back.
        if (killed_ && start()) stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // One server for the whole test binary, its variables exported into this
    // process. A test that kills it starts it again before it ends.
    static JackServer& shared() {
        static const pid_t owner = getpid();
        static std::unique_ptr<JackServer> server;
        if (!server) {
            server = std::make_unique<JackServer>();
            for (const auto& entry : server->environment()) putenv(strdup(entry.c_str()));
            // Children of death tests exit without stopping their parent's server.
            std::atexit([] { if (getpid() == owner) server.reset(); else server.release(); });
        }
        return *server;
    }

    bool ok() const { return ok_; }
    // Waits until a client can connect (10 s at most).
    bool start() {
        stop();
        killed_ = false;
        auto env = environment();
        env.push_back("TMPDIR=" + dir_);
        env.push_back("HOME=" + dir_);
        process_ = std::make_unique<Process>(
            std::vector<std::string>{"jackd", "--no-realtime", "-d", "dummy", "-r", std::to_string(options_.sampleRate), "-p",
                                     std::to_string(options_.period), "-C", std::to_string(options_.captureChannels), "-P",
                                     std::to_string(options_.playbackChannels)},
            env, dir_ + "/jackd.log");
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10); std::chrono::steady_clock::now() < end;) {
            if (answers()) return true;
            if (!running()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill();
        return false;
    }
    // SIGTERM, then SIGKILL after 15 s.
    void stop() {
        if (!running()) return;
        process_->signal(SIGTERM);
        if (process_->wait(std::chrono::seconds(15)) == -1) kill();
    }
    // SIGKILL at once, as a crash would.
    void kill() {
        if (!running()) return;
        process_->signal(SIGKILL);
        process_->wait(std::chrono::seconds(5));
        killed_ = true;
        // A killed server leaves its semaphores and segments behind in /dev/shm.
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec))
            if (entry.path().filename().string().find("_" + name_ + "_") != std::string::npos)
                std::filesystem::remove(entry.path(), ec);
    }
    bool running() { return process_ && process_->running(); }

    const std::string& name() const { return name_; }
    const Options& options() const { return options_; }
    // "NAME=value" entries a child needs to use this server.
    std::vector<std::string> environment() const {
        return {"JACK_DEFAULT_SERVER=" + name_, "JACK_NO_START_SERVER=1", "JACK_NO_AUDIO_RESERVATION=1"};
    }
    // What jackd wrote.
    std::string log() const {
        std::ifstream in(dir_ + "/jackd.log");
        return {std::istreambuf_iterator<char>(in), {}};
    }

private:
    bool answers() const {
        jack_set_error_function([](const char*) {}); // the probe's failures are expected
        jack_status_t status{};
        jack_client_t* client = jack_client_open("corvena-probe", JackOptions(JackNoStartServer | JackServerName), &status,
                                                 name_.c_str());
        if (client) jack_client_close(client);
        return client != nullptr;
    }

    static inline std::atomic<int> servers_{0};
    std::string name_, dir_;
    Options options_;
    std::unique_ptr<Process> process_;
    bool ok_ = false, killed_ = false;
};

} // namespace corvena::test
