#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

#include <gtest/gtest.h>

// A private JACK server with the dummy driver, so audio tests run on a real audio
// server without a sound card.
//
// Usage in a process-level test binary (one server for the whole binary):
//
//   #include "support/JackServer.h"
//   #include "support/JackPeer.h"
//   static auto* const jackEnv =
//       ::testing::AddGlobalTestEnvironment(new corvena::test::JackEnvironment);
//
//   TEST(Something, Works) {
//       auto& jack = corvena::test::JackEnvironment::server();
//       corvena::test::EngineProcess engine(CORVENA_AUDIO_BINARY, jack.environment());
//       engine.readLine();                               // the ready event
//       engine.request(R"({"id":1,"cmd":"open"})");     // opens on this server
//       corvena::test::JackPeer peer(jack.name());      // the tests' own client
//       peer.connectToEngine();                          // feed -> inport, outport -> capture
//       peer.setSine(0, 440.0f, 0.5f);
//       auto out = peer.capture(4800);                   // 0.1 s of the engine's output
//   }
//
// The environment also exports the server's variables into the test process itself,
// so JACK clients created by the test (JackPeer) find the same server. A test that
// kills or restarts the server (server().kill(), server().start()) must leave it
// running when it ends.
namespace corvena::test {

class JackServer {
public:
    struct Options {
        unsigned sampleRate = 48000;
        unsigned period = 128;
        unsigned captureChannels = 2;
        unsigned playbackChannels = 2;
    };

    // Chooses a unique server name and a fresh temp dir; does not start anything.
    explicit JackServer(const std::string& label = "corvena");
    ~JackServer(); // stops the server
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // Starts jackd (dummy driver) and waits until a client can connect.
    // Returns false (see log()) when it did not come up within 10 s.
    bool start();
    bool start(const Options& options);
    // Ends the server politely (SIGTERM, then SIGKILL after 15 s).
    void stop();
    // Kills the server at once (SIGKILL), as a crash would.
    void kill();
    bool running();

    const std::string& name() const { return name_; }
    const std::string& tempDir() const { return tempDir_; }
    const Options& options() const { return options_; }
    // "NAME=value" entries a child process needs to use this server, for
    // EngineProcess's extraEnv.
    std::vector<std::string> environment() const;
    // Sets the same variables in this process (for the test's own clients).
    void exportToThisProcess() const;
    // What jackd wrote to stdout and stderr.
    std::string log() const;

private:
    void reap(int waitMs);
    std::string name_;
    std::string tempDir_;
    Options options_;
    pid_t pid_ = -1;
    bool killed_ = false;
};

// gtest environment owning one JackServer for the whole test binary.
class JackEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    // The binary's server; valid between SetUp and TearDown.
    static JackServer& server();
};

} // namespace corvena::test
