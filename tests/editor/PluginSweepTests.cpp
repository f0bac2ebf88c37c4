// Every effect class of the VST 3 packages named in CORVENA_SWEEP_PACKAGES
// (installed with apt): loaded, fed a test signal, its editor shown under
// Xvfb and closed, unloaded. Each class runs in a child process of its own,
// so a plug-in that crashes or hangs is reported, not fatal to the sweep. The
// table of what worked goes to plugin-sweep.txt in the working directory.
#include "plugin/Module.h"
#include "plugin/PluginSlot.h"
#include "support/EngineProcess.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace corvena;
using namespace corvena::test;
using namespace std::chrono_literals;

static auto* const xvfb = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

namespace {

std::vector<std::string> words(const char* text) {
    std::istringstream in(text ? text : "");
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// Top-level bundle folders a package installs.
std::vector<std::string> bundlesOf(const std::string& package) {
    std::vector<std::string> bundles;
    if (FILE* p = popen(("dpkg -L " + package + " 2>/dev/null").c_str(), "r")) {
        char line[4096];
        while (fgets(line, sizeof line, p)) {
            std::string path(line);
            while (!path.empty() && (path.back() == '\n' || path.back() == '/')) path.pop_back();
            struct stat st {};
            const size_t at = path.find(".vst3");
            if (at != std::string::npos && at + 5 == path.size() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                bundles.push_back(path);
        }
        pclose(p);
    }
    return bundles;
}

struct Row {
    std::string package, bundle, name, result;
    bool ok = false;
};

// Faults of the plug-ins themselves, seen with other hosts or tools too: listed
// in the table, not failures of the host. Anything else that fails is one.
const std::map<std::string, std::string> kKnownFaults = {
    {"AGain VST3", "VSTGUI debug build asserts in removed(): a timer without its run loop"},
    {"AGain SideChain VST3", "VSTGUI debug build asserts in removed(): a timer without its run loop"},
    {"AGainSimple VST3", "VSTGUI debug build asserts in removed(): a timer without its run loop"},
    {"Panner", "VSTGUI debug build asserts in removed(): a timer without its run loop"},
    {"VST3 Host Checker", "VSTGUI debug build asserts in removed(): a timer without its run loop"},
    {"dataexchange.vst3", "the packaged module needs a symbol no library defines: refused at load"},
    {"Note Expression Text", "no audio input bus: refused at load"},
    {"Room Builder Mono", "its view's MIT-SHM image request fails with BadMatch; Xlib's handler exits"},
    {"Room Builder Stereo", "its view's MIT-SHM image request fails with BadMatch; Xlib's handler exits"},
    {"mda Tracker", "non-finite output at its defaults"},
};

// One class, in the child: what happened, as a line of the table (or an error).
std::string tryClass(const std::string& bundle, int index, bool instrument, bool& ok) {
    PluginSlot slot;
    std::string error;
    slot.prepare(48000.0, 256);
    if (!slot.load(bundle, error, index)) {
        ok = instrument && error == "no audio-effect class in " + bundle;
        return (instrument ? "instrument, refused: " : "load failed: ") + error;
    }
    if (instrument) {
        ok = false;
        return "instrument loaded as an effect";
    }
    // A second of plucked low E: decaying partials and a little noise.
    constexpr int n = 256;
    std::vector<float> in(n), left(n), right(n);
    bool finite = true, differs = false;
    int processed = 0;
    uint32_t noise = 1;
    for (int block = 0; block < 48000 / n; ++block) {
        for (int i = 0; i < n; ++i) {
            const double t = (block * n + i) / 48000.0;
            noise = noise * 1664525u + 1013904223u;
            in[i] = static_cast<float>(0.3 * std::exp(-3 * t) * (std::sin(2 * M_PI * 82.4 * t) + 0.5 * std::sin(2 * M_PI * 164.8 * t)) +
                                       1e-3 * (noise / 4294967296.0 - 0.5));
        }
        if (!slot.process(in.data(), left.data(), right.data(), n)) continue;
        ++processed;
        for (int i = 0; i < n; ++i) {
            finite = finite && std::isfinite(left[i]) && std::isfinite(right[i]);
            differs = differs || std::fabs(left[i] - in[i]) > 1e-4f || std::fabs(right[i] - in[i]) > 1e-4f;
        }
    }
    std::string result = processed == 0 ? "no block processed" : !finite ? "non-finite output"
                         : differs ? "processes, changes the sound" : "processes, passes the signal unchanged";
    ok = processed > 0 && finite;

    if (!slot.openEditor(error)) {
        ok = ok && error == "this plugin has no editor";
        return result + "; editor: " + error;
    }
    X11Probe probe;
    for (auto until = std::chrono::steady_clock::now() + 700ms; std::chrono::steady_clock::now() < until;) {
        slot.pumpEditor();
        std::this_thread::sleep_for(5ms);
    }
    const auto windows = probe.topLevelsNamed("Amp");
    int32_t width = 0, height = 0;
    slot.editorSize(width, height);
    if (windows.size() != 1) {
        ok = false;
        result += "; editor: no window";
    } else {
        const auto g = probe.geometry(windows[0]);
        const int colours = probe.screenshotColours(windows[0]);
        const bool sized = int(g.width) == width && int(g.height) == height;
        ok = ok && sized && colours > 1;
        result += "; editor " + std::to_string(g.width) + "x" + std::to_string(g.height) +
                  (sized ? "" : " (view " + std::to_string(width) + "x" + std::to_string(height) + ")") + ", " +
                  std::to_string(colours) + " colours";
    }
    slot.closeEditor();
    slot.unload();
    return result;
}

// Runs tryClass in a child; a crash or a hang is a result too.
Row runClass(const std::string& bundle, int index, bool instrument) {
    Row row;
    int fds[2];
    if (pipe(fds) != 0) {
        row.result = "no pipe";
        return row;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(fds[0]);
        bool ok = false;
        const std::string text = std::string(1, '0') + tryClass(bundle, index, instrument, ok);
        std::string out = text;
        out[0] = ok ? '1' : '0';
        (void)!::write(fds[1], out.data(), out.size());
        _exit(0);
    }
    ::close(fds[1]);
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fds[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            ::kill(pid, SIGKILL);
            text = "0hung";
            break;
        }
        char buf[4096];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status) && text.empty()) text = "0crashed (signal " + std::to_string(WTERMSIG(status)) + ")";
    if (text.empty()) text = "0ended without a result";
    row.ok = text[0] == '1';
    row.result = text.substr(1);
    return row;
}

} // namespace

TEST(PluginSweep, EveryEffectClassLoadsProcessesShowsItsEditorAndUnloads) {
    const std::vector<std::string> packages = words(std::getenv("CORVENA_SWEEP_PACKAGES"));
    if (packages.empty()) GTEST_SKIP() << "CORVENA_SWEEP_PACKAGES names no packages";
    std::vector<Row> rows;
    std::vector<std::string> bundles;
    for (const auto& package : packages) {
        const auto found = bundlesOf(package);
        EXPECT_FALSE(found.empty()) << package << " installs no VST 3 bundle";
        for (const auto& bundle : found) {
            bundles.push_back(bundle);
            std::string error;
            std::vector<ClassInfo> classes;
            if (auto module = Module::create(bundle, error)) classes = module->getFactory().classInfos();
            if (classes.empty()) {
                rows.push_back({package, bundle, "", "no classes: " + error, false});
                continue;
            }
            for (size_t i = 0; i < classes.size(); ++i) {
                if (classes[i].category != "Audio Module Class") continue;
                const bool instrument = !classes[i].isAudioEffect();
                Row row = runClass(bundle, static_cast<int>(i), instrument);
                row.package = package;
                row.bundle = bundle;
                row.name = classes[i].name;
                rows.push_back(row);
            }
        }
    }
    std::set<std::string> faulty; // bundles with a known fault stay out of the engine process
    std::ofstream table("plugin-sweep.txt");
    table << "| package | bundle | class | result |\n|---|---|---|---|\n";
    for (const auto& r : rows) {
        auto known = kKnownFaults.find(r.name);
        if (known == kKnownFaults.end()) known = kKnownFaults.find(r.bundle.substr(r.bundle.find_last_of('/') + 1));
        const bool excused = !r.ok && known != kKnownFaults.end();
        if (excused) faulty.insert(r.bundle);
        table << "| " << r.package << " | " << r.bundle.substr(r.bundle.find_last_of('/') + 1) << " | " << r.name
              << " | " << (r.ok ? "" : excused ? "plug-in fault (" + known->second + "): " : "FAILED: ") << r.result << " |\n";
        EXPECT_TRUE(r.ok || excused) << r.bundle << " / " << r.name << ": " << r.result;
    }

    // Through the engine process: whatever the plug-ins print, stdout holds
    // protocol lines only, and every bundle's first effect loads, shows its
    // editor and unloads there too.
    EngineProcess engine;
    ASSERT_TRUE(engine.readLine().has_value());
    for (const auto& bundle : bundles) {
        if (faulty.count(bundle)) continue;
        for (const char* request : {R"({"cmd":"vstLoad","path":)", R"({"cmd":"vstEditor","open":true})",
                                    R"({"cmd":"vstEditor","open":false})", R"({"cmd":"vstUnload"})"}) {
            const std::string line = std::string(request).back() == ':' ? request + nlohmann::json(bundle).dump() + "}" : request;
            const auto reply = nlohmann::json::parse(engine.request(line), nullptr, false);
            EXPECT_TRUE(reply.is_object()) << bundle << ": " << line;
        }
    }
    engine.closeInput();
    while (auto line = engine.readLine(5s))
        EXPECT_TRUE(nlohmann::json::parse(*line, nullptr, false).is_object()) << *line;
    EXPECT_EQ(engine.wait(30s), 0);
}

// The SDK's host checker, processed for a few seconds: what it reports about
// the host, on standard error and through its read-only parameters, goes into
// the table.
TEST(PluginSweep, HostCheckerReportsWhatItFound) {
    const std::string bundle = "/usr/lib/vst3/hostchecker.vst3";
    struct stat st {};
    if (::stat(bundle.c_str(), &st) != 0) GTEST_SKIP() << "no " << bundle;
    const std::string log = ::testing::TempDir() + "hostchecker.log";
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int fd = ::open(log.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    ::dup2(fd, 2);
    ::close(fd);
    std::ostringstream parameters;
    {
        PluginSlot slot;
        slot.prepare(48000.0, 256);
        std::string error;
        EXPECT_TRUE(slot.load(bundle, error)) << error; // "Fx|Instrument": an effect
        std::vector<float> in(256, 0.1f), left(256), right(256);
        int processed = 0;
        for (int block = 0; block < 3 * 48000 / 256; ++block) processed += slot.process(in.data(), left.data(), right.data(), 256);
        EXPECT_GT(processed, 0);
        std::vector<PluginParameter> params;
        EXPECT_TRUE(slot.parameters(params, error)) << error;
        for (const auto& p : params)
            if (p.readOnly) parameters << "  " << p.title << ": " << p.display << (p.units.empty() ? "" : " " + p.units) << "\n";
        slot.unload();
    }
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::ifstream in(log);
    const std::string reported((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string text = "\nhostchecker on stderr:\n" + (reported.empty() ? std::string("(nothing)\n") : reported) +
                             "hostchecker's read-only parameters:\n" + parameters.str();
    std::ofstream("plugin-sweep.txt", std::ios::app) << text;
    std::cout << text;
}
