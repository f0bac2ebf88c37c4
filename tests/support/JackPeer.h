#pragma once
#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvena::test {

// The tests' own JACK client ("feed k", "capture k"): feeds the engine, records
// its outputs, and keeps the audio clock the tests wait on. Without realtime
// scheduling the server sometimes drops a cycle: a capture or a take that saw
// one is taken again, so checks on a steady capture are exact.
class JackPeer {
public:
    explicit JackPeer(const std::string& server, const std::string& name = "CorvenaPeer", uint32_t feeds = 2,
                      uint32_t captures = 2)
        : feeds_(feeds), captured_(captures) {
        jack_status_t status{};
        client_ = jack_client_open(name.c_str(), JackOptions(JackNoStartServer | JackServerName), &status, server.c_str());
        if (!client_) {
            error_ = "cannot connect to JACK server " + server + " (status " + std::to_string(status) + ")";
            return;
        }
        sampleRate_ = jack_get_sample_rate(client_);
        bufferSize_ = jack_get_buffer_size(client_);
        for (uint32_t i = 0; i < feeds; ++i)
            feedPorts_.push_back(jack_port_register(client_, ("feed " + std::to_string(i)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                                    JackPortIsOutput, 0));
        for (uint32_t i = 0; i < captures; ++i)
            capturePorts_.push_back(jack_port_register(client_, ("capture " + std::to_string(i)).c_str(),
                                                       JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0));
        jack_set_process_callback(client_, [](uint32_t n, void* self) { return static_cast<JackPeer*>(self)->process(n); }, this);
        jack_set_xrun_callback(client_, [](void* self) { return ++static_cast<JackPeer*>(self)->xruns_, 0; }, this);
        jack_on_shutdown(client_, [](void* self) { static_cast<JackPeer*>(self)->serverGone_.store(true); }, this);
        if (jack_activate(client_) != 0) {
            error_ = "cannot activate the JACK client";
            jack_client_close(client_);
            client_ = nullptr;
        }
    }
    ~JackPeer() {
        if (!client_) return;
        if (!serverGone_.load()) jack_deactivate(client_);
        jack_client_close(client_);
    }
    JackPeer(const JackPeer&) = delete;
    JackPeer& operator=(const JackPeer&) = delete;

    bool ok() const { return client_ != nullptr; }
    const std::string& error() const { return error_; }
    uint32_t bufferSize() const { return bufferSize_; }

    // What each feed plays from its next cycle on (default: silence). A loop plays from its start.
    void setSine(uint32_t feed, float frequency, float amplitude) {
        feeds_.at(feed).frequency.store(frequency);
        feeds_[feed].amplitude.store(amplitude);
        feeds_[feed].mode.store(1);
    }
    void setSilence(uint32_t feed) { feeds_.at(feed).mode.store(0); }
    void setLoop(uint32_t feed, std::vector<float> samples) {
        std::lock_guard<std::mutex> lock(loopMutex_);
        feeds_.at(feed).loop = std::move(samples);
        feeds_[feed].loopAt = 0;
        feeds_[feed].mode.store(2);
    }

    // feed k -> "<client>:inport k" for every input the engine has (port 0 at
    // least), "<client>:outport k" -> capture k; waits for the ports to appear.
    bool connectToEngine(const std::string& client = "Corvena") {
        if (!client_) return false;
        for (size_t k = 0; k < feedPorts_.size(); ++k) {
            const std::string port = client + ":inport " + std::to_string(k);
            if ((k == 0 || jack_port_by_name(client_, port.c_str())) && !connect(jack_port_name(feedPorts_[k]), port)) return false;
        }
        for (size_t k = 0; k < capturePorts_.size() && k < 2; ++k)
            if (!connect(client + ":outport " + std::to_string(k), jack_port_name(capturePorts_[k]))) return false;
        return true;
    }
    // Two ports by full name (this client's are "<name>:feed k", "<name>:capture k");
    // waits up to 3 s for them to appear.
    bool connect(const std::string& from, const std::string& to) {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            if (jack_port_by_name(client_, from.c_str()) && jack_port_by_name(client_, to.c_str())) break;
            if (std::chrono::steady_clock::now() > end) return false;
        }
        const int r = jack_connect(client_, from.c_str(), to.c_str());
        return r == 0 || r == EEXIST;
    }
    std::string feedPort(uint32_t feed) const { return jack_port_name(feedPorts_.at(feed)); }
    std::string capturePort(uint32_t capture) const { return jack_port_name(capturePorts_.at(capture)); }

    // The next `count` frames of every capture port, from `settle` frames after
    // the call on (by default two cycles: what the engine answered before is
    // heard by then), taken again while a cycle was lost during it (`takes` in
    // all at most). Empty vectors when the frames do not arrive.
    std::vector<std::vector<float>> capture(size_t count, size_t settle = 0, int takes = 5) {
        for (int take = 0; take < takes; ++take) {
            const uint32_t mark = lostCycles();
            for (auto& port : captured_) port.assign(count, 0.0f);
            gap_.store(false);
            const uint64_t from = frames() + (settle ? settle : 2 * bufferSize_);
            windowFrom_.store(from);
            windowTo_.store(from + count);
            armed_.store(true, std::memory_order_release);
            const bool arrived = waitFrames(from + count + bufferSize_ - frames()) && !armed_.load(std::memory_order_acquire);
            armed_.store(false);
            windowTo_.store(0);
            if (!arrived) return std::vector<std::vector<float>>(captured_.size());
            if (!gap_.load() && xrunsSince(mark) == 0) break;
        }
        return captured_;
    }

    // The audio clock: frames this client has processed.
    uint64_t frames() const { return frames_.load(); }
    // Returns once the clock has advanced `count` frames (false when it stalls for 5 s).
    bool waitFrames(uint64_t count) {
        const uint64_t until = frames() + count;
        for (uint64_t last = frames(); frames() < until;) {
            const auto stalledSince = std::chrono::steady_clock::now();
            while (frames() == last) {
                if (serverGone_.load() || std::chrono::steady_clock::now() - stalledSince > std::chrono::seconds(5)) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            last = frames();
        }
        return true;
    }
    // Lost cycles the server reported since `mark` (a value of lostCycles()),
    // after giving its notifications a few cycles to arrive (they come on a thread of their own).
    uint32_t lostCycles() const { return xruns_.load(); }
    uint32_t xrunsSince(uint32_t mark) {
        waitFrames(8 * bufferSize_);
        return xruns_.load() - mark;
    }
    // The next cycle sleeps this long: a late client, so the server reports an xrun.
    void stallOnce(std::chrono::milliseconds duration) { stallMs_.store(static_cast<int>(duration.count())); }

    // Full names of the server's ports matching `pattern`, and of the ports connected to `port`.
    std::vector<std::string> ports(const std::string& pattern) const {
        return takeNames(client_ ? jack_get_ports(client_, pattern.c_str(), nullptr, 0) : nullptr);
    }
    std::vector<std::string> connections(const std::string& port) const {
        jack_port_t* p = client_ ? jack_port_by_name(client_, port.c_str()) : nullptr;
        return takeNames(p ? jack_port_get_all_connections(client_, p) : nullptr);
    }

private:
    struct Feed {
        std::atomic<int> mode{0}; // 0 silence, 1 sine, 2 loop
        std::atomic<float> frequency{440.0f}, amplitude{0.0f};
        double phase = 0.0;
        std::vector<float> loop; // guarded by loopMutex_
        size_t loopAt = 0;
    };
    static std::vector<std::string> takeNames(const char** found) {
        std::vector<std::string> names;
        for (const char** n = found; n && *n; ++n) names.emplace_back(*n);
        if (found) jack_free(found);
        return names;
    }
    int process(uint32_t n) {
        if (const int ms = stallMs_.exchange(0); ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        const uint32_t cycleTime = jack_last_frame_time(client_);
        const uint64_t at = frames_.load();
        if (at > 0 && cycleTime != lastCycleTime_ + n && at >= windowFrom_.load() && at < windowTo_.load()) gap_.store(true);
        lastCycleTime_ = cycleTime;

        const bool haveLoops = loopMutex_.try_lock();
        for (size_t p = 0; p < feedPorts_.size(); ++p) {
            auto* out = static_cast<float*>(jack_port_get_buffer(feedPorts_[p], n));
            Feed& f = feeds_[p];
            const int mode = f.mode.load();
            const double step = 2.0 * M_PI * f.frequency.load() / sampleRate_;
            for (uint32_t i = 0; i < n; ++i) {
                if (mode == 1) {
                    out[i] = f.amplitude.load() * static_cast<float>(std::sin(f.phase));
                    f.phase = std::fmod(f.phase + step, 2.0 * M_PI);
                } else if (mode == 2 && haveLoops && !f.loop.empty()) {
                    out[i] = f.loop[f.loopAt];
                    f.loopAt = (f.loopAt + 1) % f.loop.size();
                } else {
                    out[i] = 0.0f;
                }
            }
        }
        if (haveLoops) loopMutex_.unlock();

        if (armed_.load(std::memory_order_acquire)) {
            const uint64_t from = std::max(at, windowFrom_.load()), to = std::min(at + n, windowTo_.load());
            for (size_t p = 0; from < to && p < capturePorts_.size(); ++p) {
                const auto* in = static_cast<const float*>(jack_port_get_buffer(capturePorts_[p], n));
                std::copy(in + (from - at), in + (to - at), captured_[p].begin() + static_cast<long>(from - windowFrom_.load()));
            }
            if (at + n >= windowTo_.load()) armed_.store(false, std::memory_order_release);
        }
        frames_.store(at + n);
        return 0;
    }

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
