#include "support/JackServer.h"

#include <jack/jack.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace corvena::test {

namespace {
std::atomic<int> serverCounter{0};

// JACK prints connection failures of the readiness probe; they are expected.
void quietJackError(const char*) {}

bool serverAnswers(const std::string& name) {
    jack_set_error_function(quietJackError);
    jack_status_t status{};
    jack_client_t* client = jack_client_open(
        "corvena-probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status, name.c_str());
    if (client == nullptr) return false;
    jack_client_close(client);
    return true;
}
} // namespace

JackServer::JackServer(const std::string& label) {
    name_ = "corvena-" + label + "-" + std::to_string(getpid()) + "-" + std::to_string(serverCounter++);
    tempDir_ = std::string(CORVENA_BINARY_DIR) + "/test-tmp/jack-" + name_;
    std::string cmd = "rm -rf '" + tempDir_ + "' && mkdir -p '" + tempDir_ + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot create " + tempDir_);
}

JackServer::~JackServer() {
    stop();
    // A killed server keeps its slot in JACK's registry of servers (there are only
    // eight); one more polite run under the same name gives the slot back.
    if (killed_ && start()) stop();
    std::string cmd = "rm -rf '" + tempDir_ + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
}

std::vector<std::string> JackServer::environment() const {
    return {"JACK_DEFAULT_SERVER=" + name_, "JACK_NO_START_SERVER=1", "JACK_NO_AUDIO_RESERVATION=1"};
}

void JackServer::exportToThisProcess() const {
    for (const auto& entry : environment()) {
        auto eq = entry.find('=');
        setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
}

std::string JackServer::log() const {
    std::ifstream in(tempDir_ + "/jackd.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool JackServer::start() { return start(options_); }

bool JackServer::start(const Options& options) {
    if (pid_ > 0) stop();
    killed_ = false;
    options_ = options;
    std::vector<std::string> args = {"jackd",       "--no-realtime", "-d",
                                     "dummy",       "-r",            std::to_string(options.sampleRate),
                                     "-p",          std::to_string(options.period),
                                     "-C",          std::to_string(options.captureChannels),
                                     "-P",          std::to_string(options.playbackChannels)};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        if (entry.rfind("JACK_DEFAULT_SERVER=", 0) == 0 || entry.rfind("TMPDIR=", 0) == 0 ||
            entry.rfind("HOME=", 0) == 0)
            continue;
        env.push_back(entry);
    }
    for (const auto& e : environment()) env.push_back(e);
    env.push_back("TMPDIR=" + tempDir_);
    env.push_back("HOME=" + tempDir_);
    const std::string logPath = tempDir_ + "/jackd.log";

    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) dup2(devNull, 0);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        // A server of its own process group, so signals to the test runner's group leave it alone.
        setpgid(0, 0);
        execvpe("jackd", argv.data(), envp.data());
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (serverAnswers(name_)) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill();
    return false;
}

void JackServer::reap(int waitMs) {
    for (int waited = 0; waited < waitMs; waited += 10) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno == ECHILD)) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void JackServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    reap(15000);
    if (pid_ > 0) kill();
}

void JackServer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    reap(5000);
    pid_ = -1;
    killed_ = true;
    // A killed server leaves its semaphores and segments behind in /dev/shm.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
        const std::string file = entry.path().filename().string();
        if (file.find("_" + name_ + "_") != std::string::npos) std::filesystem::remove(entry.path(), ec);
    }
}

bool JackServer::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

namespace {
std::unique_ptr<JackServer>& environmentServer() {
    static std::unique_ptr<JackServer> server;
    return server;
}
} // namespace

void JackEnvironment::SetUp() {
    auto& server = environmentServer();
    server = std::make_unique<JackServer>("tests");
    server->exportToThisProcess();
    ASSERT_TRUE(server->start()) << "jackd did not start:\n" << server->log();
}

void JackEnvironment::TearDown() { environmentServer().reset(); }

JackServer& JackEnvironment::server() {
    auto& server = environmentServer();
    if (!server) throw std::logic_error("JackEnvironment is not set up");
    return *server;
}

} // namespace corvena::test
