#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;

namespace corvena::test {

// The tests' own JACK client ("feed k", "capture k"): plays signals into the
// engine's inputs, records its outputs, and keeps the audio clock the tests
// wait on. Without realtime scheduling the dummy driver's timer is sometimes late and the
// server then drops a cycle of the graph: a capture, or a take (xrunsSince),
// that saw one is taken again. That is the only remedy for lost cycles; checks
// on a steady capture are exact.
class JackPeer {
public:
    explicit JackPeer(const std::string& server, const std::string& name = "CorvenaPeer", uint32_t feeds = 2,
                      uint32_t captures = 2);
    ~JackPeer();
    JackPeer(const JackPeer&) = delete;
    JackPeer& operator=(const JackPeer&) = delete;

    bool ok() const { return client_ != nullptr; }
    const std::string& error() const { return error_; }
    uint32_t sampleRate() const { return sampleRate_; }
    uint32_t bufferSize() const { return bufferSize_; }

    // What each feed plays from its next cycle on (default: silence). A loop plays from its start.
    void setSine(uint32_t feed, float frequency, float amplitude);
    void setSilence(uint32_t feed) { feeds_.at(feed).mode.store(0); }
    void setLoop(uint32_t feed, std::vector<float> samples);

    // feed k -> "<client>:inport k" for every input the engine has (port 0 at
    // least), "<client>:outport k" -> capture k; waits for the ports to appear.
    bool connectToEngine(const std::string& client = "Corvena");
    // Two ports by full name (this client's are "<name>:feed k", "<name>:capture k");
    // waits up to 3 s for them to appear.
    bool connect(const std::string& from, const std::string& to);
    std::string feedPort(uint32_t feed) const;
    std::string capturePort(uint32_t capture) const;

    // The next `frames` frames of every capture port, from `settle` frames after
    // the call on (by default two cycles: what the engine answered before is
    // heard by then), taken again while a cycle was lost during it (`takes` in
    // all at most). Empty vectors when the frames do not arrive.
    std::vector<std::vector<float>> capture(size_t frames, size_t settle = 0, int takes = 5);

    // The audio clock: frames this client has processed.
    uint64_t frames() const { return frames_.load(); }
    // Returns once the clock has advanced `count` frames (false when it stalls for 5 s).
    bool waitFrames(uint64_t count);
    // Lost cycles the server reported since `mark` (a value of lostCycles()),
    // after giving its notifications a few cycles to arrive.
    uint32_t lostCycles() const { return xruns_.load(); }
    uint32_t xrunsSince(uint32_t mark);
    // The next cycle sleeps this long: a late client, so the server reports an xrun.
    void stallOnce(std::chrono::milliseconds duration) { stallMs_.store(static_cast<int>(duration.count())); }
    bool serverGone() const { return serverGone_.load(); }

    // Full names of the server's ports matching `pattern`, and of the ports connected to `port`.
    std::vector<std::string> ports(const std::string& pattern) const;
    std::vector<std::string> connections(const std::string& port) const;

private:
    struct Feed {
        std::atomic<int> mode{0}; // 0 silence, 1 sine, 2 loop
        std::atomic<float> frequency{440.0f}, amplitude{0.0f};
        double phase = 0.0;
        std::vector<float> loop; // guarded by loopMutex_
        size_t loopAt = 0;
    };
    int process(uint32_t n);

    jack_client_t* client_ = nullptr;
    std::string error_;
    uint32_t sampleRate_ = 0, bufferSize_ = 0;
    std::vector<jack_port_t*> feedPorts_, capturePorts_;
    std::vector<Feed> feeds_;
    std::mutex loopMutex_; // the process thread only try-locks it

    // The audio clock and the capture window, in frames of it. The test thread
    // touches the buffers only while no window is armed.
    std::atomic<uint64_t> frames_{0};
    uint32_t lastCycleTime_ = 0;
    std::vector<std::vector<float>> captured_;
    std::atomic<uint64_t> windowFrom_{0}, windowTo_{0};
    std::atomic<bool> armed_{false}, gap_{false};
    std::atomic<int> stallMs_{0};
    std::atomic<uint32_t> xruns_{0};
    std::atomic<bool> serverGone_{false};
};

} // namespace corvena::test
