#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;

// A JACK client of the tests' own: plays signals into another client's input
// ports and captures its output ports (see JackServer.h for a complete example).
//
//   JackPeer peer(jack.name());        // ports "feed 0", "feed 1", "capture 0", "capture 1"
//   peer.connectToEngine();            // feed k -> "Corvena:inport k", "Corvena:outport k" -> capture k
//   peer.setSine(0, 220.0f, 0.5f);     // a sine into the engine's input 0
//   auto blocks = peer.capture(9600);  // the next 9600 frames of each capture port
//   peer.stallOnce(std::chrono::milliseconds(50)); // one late cycle: the server reports an xrun
namespace corvena::test {

class JackPeer {
public:
    // Connects to the named server as client `clientName` and activates at once.
    // ok() tells whether that worked; error() says why not.
    explicit JackPeer(const std::string& serverName, const std::string& clientName = "CorvenaPeer",
                      uint32_t feedPorts = 2, uint32_t capturePorts = 2);
    ~JackPeer();
    JackPeer(const JackPeer&) = delete;
    JackPeer& operator=(const JackPeer&) = delete;

    bool ok() const { return client_ != nullptr; }
    const std::string& error() const { return error_; }
    uint32_t sampleRate() const { return sampleRate_; }
    uint32_t bufferSize() const { return bufferSize_; }
    std::string clientName() const;

    // Signals per feed port; each takes effect at the next cycle. Default: silence.
    void setSine(uint32_t feed, float frequency, float amplitude);
    void setSilence(uint32_t feed);
    // Plays `samples` in a loop from its start.
    void setLoop(uint32_t feed, std::vector<float> samples);

    // Port connections by full port name; waits up to `timeout` for the port to appear.
    bool connectFeed(uint32_t feed, const std::string& destination,
                     std::chrono::milliseconds timeout = std::chrono::seconds(3));
    bool connectCapture(uint32_t capture, const std::string& source,
                        std::chrono::milliseconds timeout = std::chrono::seconds(3));
    // feed k -> "<client>:inport k" for each engine input port that exists (at least
    // port 0 must), and "<client>:outport k" -> capture k.
    bool connectToEngine(const std::string& client = "Corvena");

    // Records the next `frames` frames of every capture port; returns one vector per
    // port, or empty vectors when the frames did not arrive within `timeout`.
    std::vector<std::vector<float>> capture(size_t frames,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // As capture(), but taken again (at most five times in all) while the server
    // reported an xrun during it: without realtime scheduling the dummy driver's
    // own timer is sometimes late and the server then drops a cycle of the graph.
    // Checks of the engine's sound use this one; a real fault shows in every take.
    std::vector<std::vector<float>> captureSteady(size_t frames);

    // The next process cycle sleeps this long (late client: the server sees an xrun).
    void stallOnce(std::chrono::milliseconds duration);
    // Xruns the server reported to this client.
    uint32_t xruns() const { return xruns_.load(); }
    // True once the server went away under this client.
    bool serverGone() const { return serverGone_.load(); }

    // Full names of the ports of the server, optionally matching a regular expression.
    std::vector<std::string> ports(const std::string& pattern = "") const;
    // Full names of the ports connected to `port`.
    std::vector<std::string> connections(const std::string& port) const;

private:
    struct Feed {
        std::atomic<int> mode{0}; // 0 silence, 1 sine, 2 loop
        std::atomic<float> frequency{440.0f};
        std::atomic<float> amplitude{0.0f};
        double phase = 0.0;
        std::vector<float> loop; // guarded by loopMutex
        size_t loopPos = 0;
    };
    static int processThunk(uint32_t frames, void* self);
    static int xrunThunk(void* self);
    static void shutdownThunk(void* self);
    int process(uint32_t frames);
    bool waitForPort(const std::string& name, std::chrono::milliseconds timeout) const;

    jack_client_t* client_ = nullptr;
    std::string error_;
    uint32_t sampleRate_ = 0;
    uint32_t bufferSize_ = 0;
    std::vector<jack_port_t*> feedPorts_;
    std::vector<jack_port_t*> capturePorts_;
    std::vector<Feed> feeds_;
    std::mutex loopMutex_;

    std::mutex captureMutex_; // held by capture(); the process thread only try-locks
    std::vector<std::vector<float>> captureData_;
    std::atomic<size_t> captureWanted_{0};
    std::atomic<size_t> captureDone_{0};
    std::atomic<int> stallMs_{0};
    std::atomic<uint32_t> xruns_{0};
    std::atomic<bool> serverGone_{false};
};

} // namespace corvena::test
