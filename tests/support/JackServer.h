#pragma once
#include "support/Process.h"

#include <memory>
#include <string>
#include <vector>

namespace corvena::test {

// A private jackd with the dummy driver, under a name and in a temp dir of its
// own: a real audio server without a sound card. Started by the constructor
// (ok() tells whether it came up), stopped by the destructor. Its period is
// 1024 frames (21 ms) unless asked otherwise: on a loaded machine the dummy
// driver's timer, at normal priority, runs late by milliseconds, and shorter
// cycles are then often lost.
//
//   auto& jack = JackServer::shared();              // the test binary's server
//   EngineProcess engine(jack.environment());       // an engine that uses it
//   JackPeer peer(jack.name());                     // the test's own client
class JackServer {
public:
    struct Options {
        unsigned sampleRate = 48000, period = 1024, captureChannels = 2, playbackChannels = 2;
    };
    JackServer();
    explicit JackServer(const Options& options);
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // One server for the whole test binary, its variables exported into this
    // process. A test that kills it starts it again before it ends.
    static JackServer& shared();

    bool ok() const { return ok_; }
    // Waits until a client can connect (10 s at most).
    bool start();
    // SIGTERM, then SIGKILL after 15 s.
    void stop();
    // SIGKILL at once, as a crash would.
    void kill();
    bool running() { return process_ && process_->running(); }

    const std::string& name() const { return name_; }
    const Options& options() const { return options_; }
    // "NAME=value" entries a child needs to use this server.
    std::vector<std::string> environment() const;
    // What jackd wrote.
    std::string log() const;

private:
    std::string name_, dir_;
    Options options_;
    std::unique_ptr<Process> process_;
    bool ok_ = false, killed_ = false;
};

} // namespace corvena::test
