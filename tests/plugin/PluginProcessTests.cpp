// The plug-in commands through the real engine process, with a stream open on
// the binary's private JACK server: what comes out is the plug-in's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <future>
#include <thread>

#include "TestPlugins.h"
#include "audio/AudioSession.h"

using namespace corvena::test;
using namespace std::chrono_literals;

static auto* const jackEnv = ::testing::AddGlobalTestEnvironment(new JackEnvironment);

namespace {

constexpr float kToneHz = 220.0f;
constexpr float kToneLevel = 0.4f;
constexpr float kMonitor = 0.8f; // the engine's default monitor level

// A least-squares fit of a sine of known frequency (plus offset): its
// amplitude and the rms of what is left besides it.
struct SineFit {
    double amplitude = 0;
    double residual = 0;
};

SineFit fitWindow(const float* x, size_t n, double rate, double hz) {
    // Normal equations for x ≈ a·sin + b·cos + d.
    double m[3][4] = {};
    for (size_t i = 0; i < n; ++i) {
        const double w = 2 * M_PI * hz * i / rate;
        const double f[3] = {std::sin(w), std::cos(w), 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                m[r][c] += f[r] * f[c];
            m[r][3] += f[r] * x[i];
        }
    }
    for (int p = 0; p < 3; ++p) // Gauss-Jordan; the matrix is well conditioned
        for (int r = 0; r < 3; ++r)
            if (r != p) {
                const double k = m[r][p] / m[p][p];
                for (int c = 0; c < 4; ++c)
                    m[r][c] -= k * m[p][c];
            }
    const double a = m[0][3] / m[0][0], b = m[1][3] / m[1][1], d = m[2][3] / m[2][2];
    double res = 0;
    for (size_t i = 0; i < n; ++i) {
        const double w = 2 * M_PI * hz * i / rate;
        const double e = x[i] - a * std::sin(w) - b * std::cos(w) - d;
        res += e * e;
    }
    return {std::hypot(a, b), std::sqrt(res / n)};
}

// Fits windows of four periods and keeps the median of each figure, so that a
// cycle lost to a late client (an xrun on a busy machine) does not count.
SineFit fitSine(const std::vector<float>& x, double rate, double hz) {
    const size_t window = static_cast<size_t>(4 * rate / hz);
    std::vector<double> amps, residuals;
    for (size_t start = 0; start + window <= x.size(); start += window) {
        const SineFit f = fitWindow(x.data() + start, window, rate, hz);
        amps.push_back(f.amplitude);
        residuals.push_back(f.residual);
    }
    if (amps.empty())
        return {-1, -1};
    std::sort(amps.begin(), amps.end());
    std::sort(residuals.begin(), residuals.end());
    return {amps[amps.size() / 2], residuals[residuals.size() / 2]};
}

// The test gain plug-in at unity: the output is the input tone at monitor level, nothing else.
bool isPassThrough(const SineFit& f) { return std::fabs(f.amplitude - kToneLevel * kMonitor) < 0.01 && f.residual < 0.005; }

class PluginStream {
public:
    explicit PluginStream(json open = json{{"cmd", "open"}}) : peer_() {
        if (!engine_.ready())
            return;
        if (open.value("cmd", "") != "open")
            return;
        json r = engine_.request(open);
        opened_ = r.value("ok", false);
        rate_ = r.value("sampleRate", 48000);
        if (!opened_)
            return;
        peer_ = std::make_unique<JackPeer>(JackEnvironment::server().name(), "PluginPeer");
        if (!peer_->ok() || !peer_->connectToEngine()) {
            opened_ = false;
            return;
        }
        peer_->setSine(0, kToneHz, kToneLevel);
    }
    bool ok() const { return opened_; }
    AudioSession& engine() { return engine_; }
    JackPeer& peer() { return *peer_; }

    // 0.1 s of the left output, after the last change has settled.
    SineFit listen() {
        std::this_thread::sleep_for(150ms);
        auto out = peer_->capture(static_cast<size_t>(rate_ / 10));
        if (out.empty() || out[0].empty())
            return {-1, -1};
        return fitSine(out[0], rate_, kToneHz);
    }
    // After a reopen the engine's JACK client is a new one.
    bool reconnect() { return peer_ && peer_->connectToEngine(); }
    json status() { return engine_.request({{"cmd", "vstStatus"}}); }
    json load(const std::string& path) { return engine_.request({{"cmd", "vstLoad"}, {"path", path}}); }

private:
    AudioSession engine_;
    std::unique_ptr<JackPeer> peer_;
    bool opened_ = false;
    int rate_ = 48000;
};

// Restarts the binary's server with other options, and back to its defaults at the end.
struct ServerWith {
    explicit ServerWith(JackServer::Options options) {
        auto& server = JackEnvironment::server();
        server.stop();
        started = server.start(options);
    }
    ~ServerWith() {
        auto& server = JackEnvironment::server();
        server.stop();
        server.start(JackServer::Options{});
    }
    bool started = false;
};

TEST(PluginProcess, StatusAndLoadRepliesWithoutAStream) {
    AudioSession engine;
    ASSERT_TRUE(engine.ready());
    EXPECT_EQ(engine.requestText({{"cmd", "vstStatus"}}),
              R"({"available":true,"editorOpen":false,"id":1,"loaded":false,"name":"","ok":true,"path":""})");
    for (const char* name : {"ZamComp", "ZamTube", "ZamEQ2"}) {
        for (const std::string& path : {zamBundle(name), zamLibrary(name)}) {
            SCOPED_TRACE(path);
            json r = engine.request({{"cmd", "vstLoad"}, {"path", path}});
            ASSERT_TRUE(r.value("ok", false)) << r.dump();
            EXPECT_EQ(r["name"], name);
            EXPECT_EQ(r["path"], path);
            json s = engine.request({{"cmd", "vstStatus"}});
            EXPECT_EQ(s["loaded"], true);
            EXPECT_EQ(s["name"], name);
            EXPECT_EQ(s["path"], path);
        }
    }
    EXPECT_TRUE(engine.request({{"cmd", "vstUnload"}})["ok"].get<bool>());
    json s = engine.request({{"cmd", "vstStatus"}});
    EXPECT_EQ(s["loaded"], false);
    EXPECT_EQ(s["name"], "");
    EXPECT_TRUE(engine.request({{"cmd", "vstUnload"}})["ok"].get<bool>()); // again: nothing to do
    EXPECT_EQ(engine.quit(), 0);
}

TEST(PluginProcess, FailedLoadsReplyWithTheirMessageAndEmptyTheSlot) {
    AudioSession engine;
    ASSERT_TRUE(engine.ready());
    const std::string text = freshTempDir("plugin_text") + "/notes.txt";
    std::ofstream(text) << "not a plug-in\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/nonexistent/X.vst3", "could not load /nonexistent/X.vst3"},
        {text, "could not load " + text},
        {std::string(CORVENA_TEST_PLUGIN_DIR) + "/NoFactory.so", "the module does not export GetPluginFactory"},
        {testBundle("CorvenaRefuseActive"), "plugin would not activate"},
    };
    for (const auto& [path, message] : cases) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(engine.request({{"cmd", "vstLoad"}, {"path", zamBundle("ZamComp")}})["ok"].get<bool>());
        json r = engine.request({{"cmd", "vstLoad"}, {"path", path}});
        EXPECT_EQ(r["ok"], false);
        EXPECT_EQ(r["error"], message);
        json s = engine.request({{"cmd", "vstStatus"}});
        EXPECT_EQ(s["loaded"], false);
        EXPECT_EQ(s["name"], "");
        EXPECT_EQ(s["path"], "");
    }
    // Nothing but protocol lines reached standard output.
    engine.process().closeInput();
    while (auto line = engine.process().readLine(2s))
        EXPECT_EQ(line->front(), '{') << *line;
    EXPECT_EQ(engine.process().wait(), 0);
}

TEST(PluginProcess, OutputIsThePluginsAndEnableSwitchesBackAndForth) {
    PluginStream s;
    ASSERT_TRUE(s.ok());
    const SineFit amp = s.listen();
    ASSERT_GE(amp.amplitude, 0.0);
    EXPECT_FALSE(isPassThrough(amp));

    json r = s.load(testBundle("CorvenaGain"));
    ASSERT_TRUE(r.value("ok", false)) << r.dump();
    EXPECT_TRUE(isPassThrough(s.listen()));

    EXPECT_TRUE(s.engine().request({{"cmd", "vstEnable"}, {"enabled", false}})["ok"].get<bool>());
    EXPECT_EQ(s.status()["loaded"], true); // disabled, still ready
    const SineFit ampAgain = s.listen();
    EXPECT_FALSE(isPassThrough(ampAgain));
    EXPECT_NEAR(ampAgain.amplitude, amp.amplitude, 0.02);

    EXPECT_TRUE(s.engine().request({{"cmd", "vstEnable"}, {"enabled", true}})["ok"].get<bool>());
    EXPECT_TRUE(isPassThrough(s.listen()));

    // A real plug-in: ZamTube colours the tone clearly unlike the amplifier.
    ASSERT_TRUE(s.load(zamBundle("ZamTube")).value("ok", false));
    const SineFit tube = s.listen();
    EXPECT_FALSE(isPassThrough(tube));
    EXPECT_TRUE(std::fabs(tube.amplitude - amp.amplitude) > 0.02 || std::fabs(tube.residual - amp.residual) > 0.01)
        << "tube " << tube.amplitude << "/" << tube.residual << " amp " << amp.amplitude << "/" << amp.residual;
    for (const char* name : {"ZamComp", "ZamEQ2"}) {
        ASSERT_TRUE(s.load(zamBundle(name)).value("ok", false)) << name;
        const SineFit f = s.listen();
        EXPECT_GT(f.amplitude, 0.01) << name; // the tone goes through
        EXPECT_TRUE(std::isfinite(f.residual)) << name;
    }

    EXPECT_TRUE(s.engine().request({{"cmd", "vstUnload"}})["ok"].get<bool>());
    EXPECT_NEAR(s.listen().amplitude, amp.amplitude, 0.02); // the amp path again
    EXPECT_EQ(s.engine().quit(), 0);
}

TEST(PluginProcess, UnloadAndReloadWhileAudioRunsNeverGlitches) {
    PluginStream s;
    ASSERT_TRUE(s.ok());
    auto captured = std::async(std::launch::async, [&] { return s.peer().capture(48000 * 3, 20s); });
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(s.load(zamBundle(i % 2 ? "ZamComp" : "ZamTube")).value("ok", false));
        std::this_thread::sleep_for(5ms);
        if (i % 4 == 0)
            s.engine().request({{"cmd", "vstEnable"}, {"enabled", false}});
        ASSERT_TRUE(s.engine().request({{"cmd", "vstUnload"}})["ok"].get<bool>());
    }
    auto out = captured.get();
    ASSERT_FALSE(out.empty());
    for (const auto& channel : out) {
        ASSERT_FALSE(channel.empty());
        for (float v : channel)
            ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= 1.0f) << v;
    }
    EXPECT_EQ(s.engine().request({{"cmd", "ping"}})["ok"], true);
    EXPECT_EQ(s.engine().quit(), 0);
}

TEST(PluginProcess, ReopeningAtALargerBlockOrAnotherRateRestartsThePlugin) {
    {
        PluginStream s;
        ASSERT_TRUE(s.ok());
        ASSERT_TRUE(s.load(testBundle("CorvenaGain")).value("ok", false));
        ASSERT_TRUE(isPassThrough(s.listen()));
        EXPECT_EQ(s.engine().quit(), 0);
    }
    {
        ServerWith big(JackServer::Options{48000, 1024, 2, 2});
        ASSERT_TRUE(big.started);
        // Loaded before the stream (set up for 512 frames): the open must
        // restart it for 1024, or every block would be declined.
        PluginStream s(json{{"cmd", "status"}});
        ASSERT_TRUE(s.load(testBundle("CorvenaGain")).value("ok", false));
        ASSERT_TRUE(s.engine().request({{"cmd", "open"}, {"blockSize", 1024}})["ok"].get<bool>());
        JackPeer peer(JackEnvironment::server().name(), "BigPeer");
        ASSERT_TRUE(peer.ok() && peer.connectToEngine());
        peer.setSine(0, kToneHz, kToneLevel);
        std::this_thread::sleep_for(200ms);
        auto out = peer.capture(4800);
        ASSERT_FALSE(out.empty());
        EXPECT_TRUE(isPassThrough(fitSine(out[0], 48000, kToneHz)));
        s.engine().request({{"cmd", "close"}});
        // Reopen on the same server: same rate, same block, still processing.
        ASSERT_TRUE(s.engine().request({{"cmd", "open"}})["ok"].get<bool>());
        EXPECT_EQ(s.status()["loaded"], true);
        EXPECT_EQ(s.engine().quit(), 0);
    }
    {
        ServerWith other(JackServer::Options{44100, 128, 2, 2});
        ASSERT_TRUE(other.started);
        PluginStream s(json{{"cmd", "open"}, {"sampleRate", 44100}});
        ASSERT_TRUE(s.ok());
        // Loaded after the open: set up at the stream's rate.
        ASSERT_TRUE(s.load(testBundle("CorvenaGain")).value("ok", false));
        EXPECT_TRUE(isPassThrough(s.listen()));

        // Loaded with no stream, it keeps the rate last adopted; the reopen
        // at that rate leaves it running.
        ASSERT_TRUE(s.engine().request({{"cmd", "close"}})["ok"].get<bool>());
        ASSERT_TRUE(s.load(testBundle("CorvenaGain")).value("ok", false));
        ASSERT_TRUE(s.engine().request({{"cmd", "open"}, {"sampleRate", 44100}})["ok"].get<bool>());
        EXPECT_EQ(s.status()["loaded"], true);
        ASSERT_TRUE(s.reconnect());
        std::this_thread::sleep_for(300ms); // the new connections settle
        const SineFit again = s.listen();
        EXPECT_TRUE(isPassThrough(again)) << again.amplitude << " / " << again.residual;
        EXPECT_EQ(s.engine().quit(), 0) << s.engine().process().stderrText();

        // A plug-in that refuses the new rate stays loaded but not ready. A
        // fresh engine sets it up at 48000 Hz (a load uses the rate last adopted).
        AudioSession fresh;
        ASSERT_TRUE(fresh.ready());
        json r = fresh.request({{"cmd", "vstLoad"}, {"path", testBundle("CorvenaOnly48k")}});
        ASSERT_TRUE(r.value("ok", false)) << r.dump();
        ASSERT_TRUE(fresh.request({{"cmd", "open"}, {"sampleRate", 44100}})["ok"].get<bool>());
        json st = fresh.request({{"cmd", "vstStatus"}});
        EXPECT_EQ(st["loaded"], false);
        EXPECT_EQ(st["name"], "Corvena Only 48k");
        r = fresh.request({{"cmd", "vstLoad"}, {"path", testBundle("CorvenaOnly48k")}}); // now at 44100
        EXPECT_EQ(r["error"], "plugin rejected the sample rate or buffer size");
        EXPECT_EQ(fresh.request({{"cmd", "vstStatus"}})["name"], "");
        EXPECT_EQ(fresh.quit(), 0);
    }
}

} // namespace
