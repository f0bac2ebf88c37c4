#include "support/JackServer.h"

#include <jack/jack.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace corvena::test {

namespace {
std::atomic<int> serverCounter{0};

bool answers(const std::string& name) {
    jack_set_error_function([](const char*) {}); // the probe's failures are expected
    jack_status_t status{};
    jack_client_t* client = jack_client_open("corvena-probe", JackOptions(JackNoStartServer | JackServerName), &status,
                                             name.c_str());
    if (client) jack_client_close(client);
    return client != nullptr;
}
} // namespace

JackServer::JackServer() : JackServer(Options{}) {}

JackServer::JackServer(const Options& options)
    : name_("corvena-" + std::to_string(getpid()) + "-" + std::to_string(serverCounter++)),
      dir_(freshTempDir("jack-" + name_)), options_(options) {
    ok_ = start();
}

JackServer::~JackServer() {
    stop();
    // A killed server keeps its slot in JACK's registry of servers (there are only
    // eight); one more polite run under the same name gives the slot back.
    if (killed_ && start()) stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

JackServer& JackServer::shared() {
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

std::vector<std::string> JackServer::environment() const {
    return {"JACK_DEFAULT_SERVER=" + name_, "JACK_NO_START_SERVER=1", "JACK_NO_AUDIO_RESERVATION=1"};
}

std::string JackServer::log() const {
    std::stringstream text;
    text << std::ifstream(dir_ + "/jackd.log").rdbuf();
    return text.str();
}

bool JackServer::start() {
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
        if (answers(name_)) return true;
        if (!running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill();
    return false;
}

void JackServer::stop() {
    if (!running()) return;
    process_->signal(SIGTERM);
    if (process_->wait(std::chrono::seconds(15)) == -1) kill();
}

void JackServer::kill() {
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

} // namespace corvena::test
