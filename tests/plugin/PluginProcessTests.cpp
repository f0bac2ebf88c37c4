// The plug-in commands through the real engine process, with a stream open on
// the binary's private JACK server: what comes out is the plug-in's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <future>
#include <thread>

#include "TestPlugins.h"
#include "audio/AudioSession.h"

using namespace corvena::test;
using namespace std::chrono_literals;

static auto* const jackEnv = ::testing::AddGlobalTestEnvironment(new JackEnvironment);

namespace {

constexpr double kToneHz = 300; // whole periods in four-period windows at 44100 and 48000 Hz
constexpr float kToneLevel = 0.4f;
constexpr float kMonitor = 0.8f; // the engine's default monitor level

struct SineFit {
    double amplitude = -1, residual = -1; // of the tone, and rms of what is left besides it
};

// Fits a·sin + b·cos + d to windows of four periods (over whole periods the
// three are orthogonal, and what is left has the energy not in them) and keeps
// the median of each figure, so that a cycle lost to a late client (an xrun on
// a busy machine) does not count.
SineFit fitSine(const std::vector<float>& x, double rate) {
    const size_t n = static_cast<size_t>(std::lround(4 * rate / kToneHz));
    std::vector<double> amps, residuals;
    for (size_t s = 0; s + n <= x.size(); s += n) {
        double a = 0, b = 0, d = 0, energy = 0;
        for (size_t i = 0; i < n; ++i) {
            const double w = 2 * M_PI * kToneHz * i / rate;
            a += 2.0 / n * x[s + i] * std::sin(w);
            b += 2.0 / n * x[s + i] * std::cos(w);
            d += x[s + i] / n;
            energy += double(x[s + i]) * x[s + i] / n;
        }
        amps.push_back(std::hypot(a, b));
        residuals.push_back(std::sqrt(std::max(0.0, energy - d * d - (a * a + b * b) / 2)));
    }
    if (amps.empty())
        return {};
    std::sort(amps.begin(), amps.end());
    std::sort(residuals.begin(), residuals.end());
    return {amps[amps.size() / 2], residuals[residuals.size() / 2]};
}

// The test gain plug-in at unity: the input tone at monitor level, nothing else.
bool isPassThrough(const SineFit& f) { return std::fabs(f.amplitude - kToneLevel * kMonitor) < 0.01 && f.residual < 0.005; }

bool ok(const json& reply) { return reply.value("ok", false); }

// An engine, its stream opened (unless `open` is false), and a peer feeding it
// the tone and capturing its output.
class PluginStream {
public:
    explicit PluginStream(bool open = true) { opened = open && engine.ready() && ok(request({{"cmd", "open"}})) && connect(); }
    bool connect() {
        peer = std::make_unique<JackPeer>(JackEnvironment::server().name(), "PluginPeer");
        if (!peer->ok() || !peer->connectToEngine())
            return false;
        peer->setSine(0, kToneHz, kToneLevel);
        return true;
    }
    json request(json body) { return engine.request(body); }
    json load(const std::string& path) { return request({{"cmd", "vstLoad"}, {"path", path}}); }
    json status() { return request({{"cmd", "vstStatus"}}); }
    json slotState() { // vstStatus's loaded, name and path
        json st = status();
        return {st["loaded"], st["name"], st["path"]};
    }
    // 0.1 s of the left output, after the last change has settled.
    SineFit listen() {
        std::this_thread::sleep_for(150ms);
        auto out = peer->capture(static_cast<size_t>(rate / 10));
        return out.empty() ? SineFit{} : fitSine(out[0], rate);
    }

    AudioSession engine;
    std::unique_ptr<JackPeer> peer;
    bool opened = false;
    int rate = 48000;
};

// Restarts the binary's server with other options, and back to its defaults at the end.
struct ServerWith {
    explicit ServerWith(JackServer::Options options) {
        JackEnvironment::server().stop();
        started = JackEnvironment::server().start(options);
    }
    ~ServerWith() {
        JackEnvironment::server().stop();
        JackEnvironment::server().start(JackServer::Options{});
    }
    bool started = false;
};

TEST(PluginProcess, LoadStatusAndFailedLoadsWithoutAStream) {
    PluginStream s(false);
    ASSERT_TRUE(s.engine.ready());
    EXPECT_EQ(s.status()["loaded"], false);
    for (const char* name : {"ZamComp", "ZamTube", "ZamEQ2"}) {
        for (const std::string& path : {zamBundle(name), zamLibrary(name)}) {
            json r = s.load(path);
            ASSERT_TRUE(ok(r)) << r.dump();
            EXPECT_EQ(r["name"], name);
            EXPECT_EQ(r["path"], path);
            EXPECT_EQ(s.slotState(), json({true, name, path}));
        }
    }
    // Every message is reached through the slot (SlotTests.cpp); here the reply carries it.
    const std::vector<std::pair<std::string, std::string>> failures = {
        {std::string(CORVENA_TEST_PLUGIN_DIR) + "/NoFactory.so", "the module does not export GetPluginFactory"},
        {testBundle("CorvenaRefuseActive"), "plugin would not activate"},
        {"", "could not load "},
    };
    for (const auto& [path, message] : failures) {
        ASSERT_TRUE(ok(s.load(zamBundle("ZamComp"))));
        json r = s.load(path);
        EXPECT_EQ(r["ok"], false) << path;
        EXPECT_EQ(r["error"], message);
        EXPECT_EQ(s.slotState(), json({false, "", ""}));
    }
    ASSERT_TRUE(ok(s.load(zamBundle("ZamComp"))));
    EXPECT_TRUE(ok(s.request({{"cmd", "vstUnload"}})));
    EXPECT_EQ(s.slotState(), json({false, "", ""}));
    EXPECT_TRUE(ok(s.request({{"cmd", "vstUnload"}}))); // again: nothing to do
    // Nothing but protocol lines reached standard output.
    s.engine.process().closeInput();
    while (auto line = s.engine.process().readLine(2s))
        EXPECT_EQ(line->front(), '{') << *line;
    EXPECT_EQ(s.engine.process().wait(), 0);
}

// The parameter and state commands carry the slot's results and errors
// (SlotTests.cpp reaches each of them), with base64 and field types checked.
TEST(PluginProcess, ParameterAndStateCommandsWithoutAStream) {
    PluginStream s(false);
    ASSERT_TRUE(s.engine.ready());
    auto error = [&](json body) { return s.request(std::move(body)).value("error", std::string("(none)")); };
    for (const char* cmd : {"vstParams", "vstGetState"})
        EXPECT_EQ(error({{"cmd", cmd}}), "no plugin loaded");
    EXPECT_EQ(error({{"cmd", "vstSetParam"}, {"param", 8}, {"value", 0.5}}), "no plugin loaded");
    EXPECT_EQ(error({{"cmd", "vstSetState"}, {"state", "!"}}), "no plugin loaded");

    ASSERT_TRUE(ok(s.load(zamBundle("ZamComp"))));
    const json params = s.request({{"cmd", "vstParams"}})["params"];
    ASSERT_TRUE(params.is_array());
    ASSERT_GE(params.size(), 8u);
    const json& threshold = params[7];
    EXPECT_EQ(threshold["title"], "Threshold");
    EXPECT_EQ(threshold["units"], "dB");
    EXPECT_EQ(threshold.size(), 8u); // default, display, id, readOnly, steps, title, units, value
    json r = s.request({{"cmd", "vstSetParam"}, {"param", 7}, {"value", -3}}); // clamped
    ASSERT_TRUE(ok(r)) << r.dump();
    EXPECT_EQ(r["value"], 0.0);
    EXPECT_EQ(r["display"], s.request({{"cmd", "vstParams"}})["params"][7]["display"]);
    EXPECT_NE(r["display"], threshold["display"]);
    EXPECT_EQ(error({{"cmd", "vstSetParam"}, {"param", 999}, {"value", 0.5}}), "no such parameter: 999");
    EXPECT_EQ(error({{"cmd", "vstSetParam"}, {"param", 11}, {"value", 0.5}}), "the parameter is read-only");
    EXPECT_EQ(error({{"cmd", "vstSetParam"}, {"value", 0.5}}), "a parameter id and a value are required");
    EXPECT_NE(error({{"cmd", "vstSetParam"}, {"param", "7"}, {"value", 0.5}}).find("type must be number"), std::string::npos);
    EXPECT_NE(error({{"cmd", "vstSetState"}, {"state", 5}}).find("type must be string"), std::string::npos);

    const json state = s.request({{"cmd", "vstGetState"}})["state"];
    ASSERT_TRUE(state.is_string());
    ASSERT_TRUE(ok(s.load(zamBundle("ZamComp"))));
    EXPECT_TRUE(ok(s.request({{"cmd", "vstSetState"}, {"state", state}})));
    EXPECT_EQ(s.request({{"cmd", "vstParams"}})["params"][7]["value"], 0.0);
    const std::string text = state.get<std::string>();
    for (const std::string& bad : {std::string("!!!!"), text.substr(0, text.size() - 4), " " + text, text.substr(1), std::string("")})
        EXPECT_EQ(error({{"cmd", "vstSetState"}, {"state", bad}}), "the state is not valid");
    ASSERT_TRUE(ok(s.load(testBundle("CorvenaGain"))));
    EXPECT_EQ(error({{"cmd", "vstSetState"}, {"state", state}}), "the state belongs to another plugin");
    const json gainState = s.request({{"cmd", "vstGetState"}})["state"];
    ASSERT_TRUE(ok(s.load(testBundle("CorvenaStateFails"))));
    EXPECT_EQ(error({{"cmd", "vstSetState"}, {"state", gainState}}), "the plugin rejected its state");
    EXPECT_EQ(s.slotState(), json({true, "Corvena State Fails", testBundle("CorvenaStateFails")}));
    EXPECT_EQ(s.engine.quit(), 0);
}

TEST(PluginProcess, OutputIsThePluginsEnableSwitchesAndUnloadUnderAudioNeverGlitches) {
    PluginStream s;
    ASSERT_TRUE(s.opened);
    const SineFit amp = s.listen();
    ASSERT_GE(amp.amplitude, 0.0);
    EXPECT_FALSE(isPassThrough(amp));

    ASSERT_TRUE(ok(s.load(testBundle("CorvenaGain"))));
    EXPECT_TRUE(isPassThrough(s.listen()));
    EXPECT_TRUE(ok(s.request({{"cmd", "vstEnable"}, {"enabled", false}})));
    EXPECT_EQ(s.status()["loaded"], true); // disabled, still ready
    const SineFit ampAgain = s.listen();
    EXPECT_FALSE(isPassThrough(ampAgain));
    EXPECT_NEAR(ampAgain.amplitude, amp.amplitude, 0.02);
    EXPECT_TRUE(ok(s.request({{"cmd", "vstEnable"}, {"enabled", true}})));
    EXPECT_TRUE(isPassThrough(s.listen()));
    // A parameter set and a state restored while the stream runs are heard.
    const json unity = s.request({{"cmd", "vstGetState"}})["state"];
    EXPECT_TRUE(ok(s.request({{"cmd", "vstSetParam"}, {"param", 7}, {"value", 0.25}})));
    EXPECT_NEAR(s.listen().amplitude, kToneLevel * kMonitor * 0.5, 0.01);
    EXPECT_TRUE(ok(s.request({{"cmd", "vstSetState"}, {"state", unity}})));
    EXPECT_TRUE(isPassThrough(s.listen()));

    // A real plug-in: ZamTube colours the tone clearly unlike the amplifier.
    ASSERT_TRUE(ok(s.load(zamBundle("ZamTube"))));
    const SineFit tube = s.listen();
    EXPECT_FALSE(isPassThrough(tube));
    EXPECT_TRUE(std::fabs(tube.amplitude - amp.amplitude) > 0.02 || std::fabs(tube.residual - amp.residual) > 0.01)
        << "tube " << tube.amplitude << "/" << tube.residual << " amp " << amp.amplitude << "/" << amp.residual;
    for (const char* name : {"ZamComp", "ZamGEQ31"}) { // ZamEQ2 4.2 puts out NaN at its defaults
        ASSERT_TRUE(ok(s.load(zamBundle(name)))) << name;
        const SineFit f = s.listen();
        EXPECT_GT(f.amplitude, 0.01) << name; // the tone goes through
        EXPECT_TRUE(std::isfinite(f.residual)) << name;
    }
    EXPECT_TRUE(ok(s.request({{"cmd", "vstUnload"}})));
    EXPECT_NEAR(s.listen().amplitude, amp.amplitude, 0.02); // the amp path again

    // Loads and unloads while the audio runs never glitch into garbage.
    auto captured = std::async(std::launch::async, [&] { return s.peer->capture(48000 * 3, 20s); });
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(ok(s.load(zamBundle(i % 2 ? "ZamComp" : "ZamTube"))));
        std::this_thread::sleep_for(5ms);
        if (i % 4 == 0)
            s.request({{"cmd", "vstEnable"}, {"enabled", false}});
        ASSERT_TRUE(ok(s.request({{"cmd", "vstUnload"}})));
    }
    auto out = captured.get();
    ASSERT_FALSE(out.empty());
    for (const auto& channel : out) {
        ASSERT_FALSE(channel.empty());
        for (float v : channel)
            ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= 1.0f) << v;
    }
    EXPECT_EQ(s.engine.quit(), 0);
}

TEST(PluginProcess, ReopeningAtALargerBlockOrAnotherRateRestartsThePlugin) {
    {
        ServerWith big(JackServer::Options{48000, 1024, 2, 2});
        ASSERT_TRUE(big.started);
        // Loaded before the stream (set up for 512 frames): the open must
        // restart it for 1024, or every block would be declined.
        PluginStream s(false);
        ASSERT_TRUE(ok(s.load(testBundle("CorvenaGain"))));
        ASSERT_TRUE(ok(s.request({{"cmd", "open"}, {"blockSize", 1024}})));
        ASSERT_TRUE(s.connect());
        EXPECT_TRUE(isPassThrough(s.listen()));
        EXPECT_EQ(s.engine.quit(), 0);
    }
    ServerWith other(JackServer::Options{44100, 128, 2, 2});
    ASSERT_TRUE(other.started);
    {
        PluginStream s(false); // set up at the default 48000 Hz, restarted by the open
        ASSERT_TRUE(ok(s.load(testBundle("CorvenaGain"))));
        ASSERT_TRUE(ok(s.request({{"cmd", "open"}, {"sampleRate", 44100}})));
        s.rate = 44100;
        ASSERT_TRUE(s.connect());
        EXPECT_TRUE(isPassThrough(s.listen()));
        EXPECT_EQ(s.engine.quit(), 0);
    }
    // A plug-in that refuses the new rate stays loaded but not ready; loaded
    // again, it is set up at the rate last adopted and refuses at once.
    PluginStream fresh(false);
    ASSERT_TRUE(ok(fresh.load(testBundle("CorvenaOnly48k"))));
    ASSERT_TRUE(ok(fresh.request({{"cmd", "open"}, {"sampleRate", 44100}})));
    EXPECT_EQ(fresh.slotState(), json({false, "Corvena Only 48k", testBundle("CorvenaOnly48k")}));
    EXPECT_EQ(fresh.load(testBundle("CorvenaOnly48k"))["error"], "plugin rejected the sample rate or buffer size");
    EXPECT_EQ(fresh.slotState(), json({false, "", ""}));
    EXPECT_EQ(fresh.engine.quit(), 0);
}

// Loaded while a 256-frame stream runs, a reverb is set up for the blocks it
// really gets (not the 512 of a load without a stream) and rings on after
// the dry signal stops.
TEST(PluginProcess, AReverbLoadedUnderA256FrameStreamAddsItsTail) {
    ServerWith small(JackServer::Options{48000, 256, 2, 2});
    ASSERT_TRUE(small.started);
    PluginStream s(false);
    ASSERT_TRUE(ok(s.request({{"cmd", "open"}, {"blockSize", 256}})));
    ASSERT_TRUE(s.connect());
    ASSERT_TRUE(ok(s.load(zamBundle("ZamVerb"))));
    std::this_thread::sleep_for(600ms);
    s.peer->setSilence(0);
    std::this_thread::sleep_for(50ms); // the dry signal's way through the graph
    const auto out = s.peer->capture(48000 / 4);
    ASSERT_FALSE(out.empty());
    double energy = 0;
    for (float v : out[0])
        energy += double(v) * v;
    EXPECT_GT(std::sqrt(energy / out[0].size()), 1e-3) << "no reverb tail";
    EXPECT_EQ(s.engine.quit(), 0);
}

// A front end that never reads the engine's stderr, and plug-ins that print
// on every block (our own test plug-in, on stderr and on stdout, and ZamComp,
// which complains without output parameter changes): requests are answered
// at once and stdout carries protocol lines only.
TEST(PluginProcess, PluginsPrintingOnEveryBlockNeverStallAnUnreadStderr) {
    for (const std::string& path : {testBundle("CorvenaChatter"), zamBundle("ZamComp")}) {
        SCOPED_TRACE(path);
        PluginStream s;
        s.engine.process().leaveStderrUnread();
        ASSERT_TRUE(s.opened);
        ASSERT_TRUE(ok(s.load(path)));
        std::this_thread::sleep_for(4s); // lines on every block overflow any pipe by now
        for (int i = 0; i < 3; ++i) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_TRUE(ok(s.request({{"cmd", "vstUnload"}})));
            EXPECT_TRUE(ok(s.load(path)));
            EXPECT_EQ(s.request({{"cmd", "ping"}})["pong"], true);
            EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
            std::this_thread::sleep_for(500ms);
        }
        s.engine.process().closeInput();
        while (auto line = s.engine.process().readLine(2s))
            EXPECT_TRUE(json::parse(*line, nullptr, false).is_object()) << *line;
        EXPECT_EQ(s.engine.process().wait(), 0);
    }
}

// Every zam plug-in processes without complaining on stderr (given output
// parameter changes); a line a plug-in repeats on every block is collapsed
// to about one a second.
TEST(PluginProcess, EveryZamPluginProcessesQuietly) {
    PluginStream s;
    ASSERT_TRUE(s.opened);
    auto lines = [&] {
        const std::string& text = s.engine.process().collectStderr();
        return std::count(text.begin(), text.end(), '\n');
    };
    int tried = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/vst3")) {
        const std::string path = entry.path().string();
        if (entry.path().filename().string().rfind("Za", 0) != 0)
            continue;
        SCOPED_TRACE(path);
        const auto before = lines();
        ASSERT_TRUE(ok(s.load(path)));
        std::this_thread::sleep_for(1s);
        EXPECT_LE(lines() - before, 3) << s.engine.process().stderrText();
        ++tried;
    }
    EXPECT_GE(tried, 10);
    const auto before = lines();
    ASSERT_TRUE(ok(s.load(testBundle("CorvenaComplain"))));
    std::this_thread::sleep_for(3s); // the same line on each of 1100 blocks
    EXPECT_LE(lines() - before, 5);
    EXPECT_NE(s.engine.process().stderrText().find("(repeated "), std::string::npos);
    EXPECT_EQ(s.engine.quit(), 0);
}

} // namespace
