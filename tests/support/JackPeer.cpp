#include "support/JackPeer.h"

#include <jack/jack.h>

#include <cmath>
#include <thread>

namespace corvena::test {

JackPeer::JackPeer(const std::string& serverName, const std::string& clientName, uint32_t feedPorts,
                   uint32_t capturePorts)
    : feeds_(feedPorts) {
    jack_status_t status{};
    client_ = jack_client_open(clientName.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                               &status, serverName.c_str());
    if (client_ == nullptr) {
        error_ = "cannot connect to JACK server " + serverName + " (status " + std::to_string(status) + ")";
        return;
    }
    sampleRate_ = jack_get_sample_rate(client_);
    bufferSize_ = jack_get_buffer_size(client_);
    for (uint32_t i = 0; i < feedPorts; ++i)
        feedPorts_.push_back(jack_port_register(client_, ("feed " + std::to_string(i)).c_str(),
                                                JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0));
    for (uint32_t i = 0; i < capturePorts; ++i)
        capturePorts_.push_back(jack_port_register(client_, ("capture " + std::to_string(i)).c_str(),
                                                   JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0));
    captureData_.resize(capturePorts);
    jack_set_process_callback(client_, &JackPeer::processThunk, this);
    jack_set_xrun_callback(client_, &JackPeer::xrunThunk, this);
    jack_on_shutdown(client_, &JackPeer::shutdownThunk, this);
    if (jack_activate(client_) != 0) {
        error_ = "cannot activate JACK client";
        jack_client_close(client_);
        client_ = nullptr;
    }
}

JackPeer::~JackPeer() {
    if (client_ == nullptr) return;
    if (!serverGone_.load()) jack_deactivate(client_);
    jack_client_close(client_);
}

std::string JackPeer::clientName() const { return client_ ? jack_get_client_name(client_) : std::string(); }

void JackPeer::setSine(uint32_t feed, float frequency, float amplitude) {
    if (feed >= feeds_.size()) return;
    feeds_[feed].frequency.store(frequency);
    feeds_[feed].amplitude.store(amplitude);
    feeds_[feed].mode.store(1);
}

void JackPeer::setSilence(uint32_t feed) {
    if (feed < feeds_.size()) feeds_[feed].mode.store(0);
}

void JackPeer::setLoop(uint32_t feed, std::vector<float> samples) {
    if (feed >= feeds_.size()) return;
    {
        std::lock_guard<std::mutex> lock(loopMutex_);
        feeds_[feed].loop = std::move(samples);
        feeds_[feed].loopPos = 0;
    }
    feeds_[feed].mode.store(2);
}

int JackPeer::processThunk(uint32_t frames, void* self) { return static_cast<JackPeer*>(self)->process(frames); }

int JackPeer::xrunThunk(void* self) {
    static_cast<JackPeer*>(self)->xruns_.fetch_add(1);
    return 0;
}

void JackPeer::shutdownThunk(void* self) { static_cast<JackPeer*>(self)->serverGone_.store(true); }

int JackPeer::process(uint32_t frames) {
    if (int ms = stallMs_.exchange(0); ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));

    const double rate = sampleRate_ > 0 ? sampleRate_ : 48000.0;
    const bool haveLoops = loopMutex_.try_lock();
    for (size_t p = 0; p < feedPorts_.size(); ++p) {
        auto* out = static_cast<float*>(jack_port_get_buffer(feedPorts_[p], frames));
        Feed& feed = feeds_[p];
        const int mode = feed.mode.load();
        if (mode == 1) {
            const double step = 2.0 * M_PI * feed.frequency.load() / rate;
            const float amplitude = feed.amplitude.load();
            for (uint32_t i = 0; i < frames; ++i) {
                out[i] = amplitude * static_cast<float>(std::sin(feed.phase));
                feed.phase += step;
                if (feed.phase >= 2.0 * M_PI) feed.phase -= 2.0 * M_PI;
            }
        } else if (mode == 2 && haveLoops && !feed.loop.empty()) {
            for (uint32_t i = 0; i < frames; ++i) {
                out[i] = feed.loop[feed.loopPos];
                if (++feed.loopPos >= feed.loop.size()) feed.loopPos = 0;
            }
        } else {
            for (uint32_t i = 0; i < frames; ++i) out[i] = 0.0f;
        }
    }
    if (haveLoops) loopMutex_.unlock();

    if (captureDone_.load() < captureWanted_.load() && captureMutex_.try_lock()) {
        // Read the positions under the lock: capture() may have re-armed meanwhile.
        const size_t wanted = captureWanted_.load();
        const size_t done = captureDone_.load();
        if (done < wanted) {
            const size_t take = std::min<size_t>(frames, wanted - done);
            for (size_t p = 0; p < capturePorts_.size(); ++p) {
                const auto* in = static_cast<const float*>(jack_port_get_buffer(capturePorts_[p], frames));
                std::copy(in, in + take, captureData_[p].begin() + static_cast<long>(done));
            }
            captureDone_.store(done + take);
        }
        captureMutex_.unlock();
    }
    return 0;
}

bool JackPeer::waitForPort(const std::string& name, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (jack_port_by_name(client_, name.c_str()) != nullptr) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool JackPeer::connectFeed(uint32_t feed, const std::string& destination, std::chrono::milliseconds timeout) {
    if (!client_ || feed >= feedPorts_.size() || !waitForPort(destination, timeout)) return false;
    int r = jack_connect(client_, jack_port_name(feedPorts_[feed]), destination.c_str());
    return r == 0 || r == EEXIST;
}

bool JackPeer::connectCapture(uint32_t capture, const std::string& source, std::chrono::milliseconds timeout) {
    if (!client_ || capture >= capturePorts_.size() || !waitForPort(source, timeout)) return false;
    int r = jack_connect(client_, source.c_str(), jack_port_name(capturePorts_[capture]));
    return r == 0 || r == EEXIST;
}

bool JackPeer::connectToEngine(const std::string& client) {
    if (!connectFeed(0, client + ":inport 0")) return false;
    for (uint32_t k = 1; k < feedPorts_.size(); ++k) {
        const std::string port = client + ":inport " + std::to_string(k);
        if (jack_port_by_name(client_, port.c_str()) != nullptr && !connectFeed(k, port)) return false;
    }
    for (uint32_t k = 0; k < capturePorts_.size() && k < 2; ++k)
        if (!connectCapture(k, client + ":outport " + std::to_string(k))) return false;
    return true;
}

std::vector<std::vector<float>> JackPeer::capture(size_t frames, std::chrono::milliseconds timeout) {
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        captureWanted_.store(0);
        for (auto& data : captureData_) data.assign(frames, 0.0f);
        captureDone_.store(0);
        captureWanted_.store(frames);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (captureDone_.load() < frames) {
        if (std::chrono::steady_clock::now() >= deadline || serverGone_.load()) {
            captureWanted_.store(0);
            std::lock_guard<std::mutex> lock(captureMutex_);
            return std::vector<std::vector<float>>(capturePorts_.size());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard<std::mutex> lock(captureMutex_);
    captureWanted_.store(0);
    return captureData_;
}

std::vector<std::vector<float>> JackPeer::captureSteady(size_t frames) {
    std::vector<std::vector<float>> got;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const uint32_t before = xruns();
        got = capture(frames);
        // Xruns reach clients through the server's notification thread, a little later.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (xruns() == before) break;
    }
    return got;
}

void JackPeer::stallOnce(std::chrono::milliseconds duration) { stallMs_.store(static_cast<int>(duration.count())); }

std::vector<std::string> JackPeer::ports(const std::string& pattern) const {
    std::vector<std::string> result;
    if (!client_) return result;
    const char** names = jack_get_ports(client_, pattern.empty() ? nullptr : pattern.c_str(), nullptr, 0);
    if (names == nullptr) return result;
    for (const char** n = names; *n; ++n) result.emplace_back(*n);
    jack_free(names);
    return result;
}

std::vector<std::string> JackPeer::connections(const std::string& port) const {
    std::vector<std::string> result;
    if (!client_) return result;
    jack_port_t* p = jack_port_by_name(client_, port.c_str());
    if (p == nullptr) return result;
    const char** names = jack_port_get_all_connections(client_, p);
    if (names == nullptr) return result;
    for (const char** n = names; *n; ++n) result.emplace_back(*n);
    jack_free(names);
    return result;
}

} // namespace corvena::test
