#include "support/JackPeer.h"

#include <jack/jack.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <thread>

namespace corvena::test {

JackPeer::JackPeer(const std::string& server, const std::string& name, uint32_t feeds, uint32_t captures)
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

JackPeer::~JackPeer() {
    if (!client_) return;
    if (!serverGone_.load()) jack_deactivate(client_);
    jack_client_close(client_);
}

void JackPeer::setSine(uint32_t feed, float frequency, float amplitude) {
    feeds_.at(feed).frequency.store(frequency);
    feeds_[feed].amplitude.store(amplitude);
    feeds_[feed].mode.store(1);
}

void JackPeer::setLoop(uint32_t feed, std::vector<float> samples) {
    std::lock_guard<std::mutex> lock(loopMutex_);
    feeds_.at(feed).loop = std::move(samples);
    feeds_[feed].loopAt = 0;
    feeds_[feed].mode.store(2);
}

int JackPeer::process(uint32_t n) {
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

bool JackPeer::waitFrames(uint64_t count) {
    const uint64_t until = frames() + count;
    for (uint64_t last = frames(); frames() < until;) {
        const auto stalledSince = std::chrono::steady_clock::now();
        while (frames() == last) {
            if (serverGone() || std::chrono::steady_clock::now() - stalledSince > std::chrono::seconds(5)) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        last = frames();
    }
    return true;
}

uint32_t JackPeer::xrunsSince(uint32_t mark) {
    waitFrames(8 * bufferSize_); // the server's notifications come on a thread of their own, a little later
    return xruns_.load() - mark;
}

std::vector<std::vector<float>> JackPeer::capture(size_t count, size_t settle, int takes) {
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

bool JackPeer::connect(const std::string& from, const std::string& to) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (jack_port_by_name(client_, from.c_str()) && jack_port_by_name(client_, to.c_str())) break;
        if (std::chrono::steady_clock::now() > end) return false;
    }
    const int r = jack_connect(client_, from.c_str(), to.c_str());
    return r == 0 || r == EEXIST;
}

std::string JackPeer::feedPort(uint32_t feed) const { return jack_port_name(feedPorts_.at(feed)); }
std::string JackPeer::capturePort(uint32_t capture) const { return jack_port_name(capturePorts_.at(capture)); }

bool JackPeer::connectToEngine(const std::string& client) {
    if (!client_) return false;
    for (size_t k = 0; k < feedPorts_.size(); ++k) {
        const std::string port = client + ":inport " + std::to_string(k);
        if ((k == 0 || jack_port_by_name(client_, port.c_str())) && !connect(jack_port_name(feedPorts_[k]), port)) return false;
    }
    for (size_t k = 0; k < capturePorts_.size() && k < 2; ++k)
        if (!connect(client + ":outport " + std::to_string(k), jack_port_name(capturePorts_[k]))) return false;
    return true;
}

namespace {
std::vector<std::string> takeNames(const char** found) {
    std::vector<std::string> names;
    for (const char** n = found; n && *n; ++n) names.emplace_back(*n);
    if (found) jack_free(found);
    return names;
}
} // namespace

std::vector<std::string> JackPeer::ports(const std::string& pattern) const {
    return takeNames(client_ ? jack_get_ports(client_, pattern.c_str(), nullptr, 0) : nullptr);
}

std::vector<std::string> JackPeer::connections(const std::string& port) const {
    jack_port_t* p = client_ ? jack_port_by_name(client_, port.c_str()) : nullptr;
    return takeNames(p ? jack_port_get_all_connections(client_, p) : nullptr);
}

} // namespace corvena::test
