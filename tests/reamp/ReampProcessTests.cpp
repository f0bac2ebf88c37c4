// Re-amping through the running engine on the private JACK server: a live
// take rendered again with the same tone reproduces its own wet file; other
// settings change the sound; the live stream plays on undisturbed; bad
// requests are refused up front and nothing half-written is ever left.
#include "support/EngineProcess.h"
#include "support/JackPeer.h"
#include "support/JackServer.h"
#include "support/TestPlugins.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/mount.h>

#include <cmath>
#include <filesystem>
#include <fstream>

using namespace corvena::test;
using namespace std::chrono_literals;

namespace {

constexpr double rate = 48000.0;

std::vector<float> readSamples(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) return {};
    std::vector<float> v(static_cast<size_t>(info.frames) * info.channels);
    sf_readf_float(f, v.data(), info.frames);
    sf_close(f);
    return v;
}

void writeSamples(const std::string& path, const std::vector<float>& v, int format, int channels = 1,
                  int sampleRate = static_cast<int>(rate)) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    sf_writef_float(f, v.data(), static_cast<sf_count_t>(v.size() / channels));
    sf_close(f);
}

double rms(const std::vector<float>& v, size_t from) {
    double s = 0;
    for (size_t i = from; i < v.size(); ++i) s += double(v[i]) * v[i];
    return std::sqrt(s / std::max<size_t>(1, v.size() - from));
}

// A guitar-like loop: plucked partials that decay, two notes.
std::vector<float> guitarLoop() {
    std::vector<float> v(static_cast<size_t>(rate));
    for (size_t i = 0; i < v.size(); ++i) {
        const double t = static_cast<double>(i % 24000) / rate;
        const double f = i < 24000 ? 110.0 : 146.8;
        double x = 0;
        for (int k = 1; k <= 6; ++k) x += std::sin(2 * M_PI * f * k * t) * std::exp(-t * (2.0 + k)) / k;
        v[i] = static_cast<float>(0.35 * x);
    }
    return v;
}

class Reamp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(engine.ready());
        ASSERT_TRUE(engine.request({{"cmd", "open"}})["ok"].get<bool>());
        ASSERT_TRUE(peer.ok()) << peer.error();
        ASSERT_TRUE(peer.connectToEngine());
        peer.setLoop(0, guitarLoop());
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    // A take of about 1.5 s, timed by the frames the engine reports. A cycle
    // the server drops is missing from the DI and the wet file alike: the live
    // chain saw the same DI as the file holds, so no take needs retaking.
    bool take(const std::string& di, const std::string& wet) {
        if (!engine.request({{"cmd", "record"}, {"diPath", di}, {"wetPath", wet}})["ok"].get<bool>()) return false;
        for (uint64_t frames = 0; frames < 1.5 * rate;)
            if (auto level = engine.nextLevel()) frames = level->value("frames", frames);
        return engine.request({{"cmd", "stop"}})["ok"].get<bool>();
    }

    // Sends a reamp request; on success waits for its final event.
    json reamp(json body) {
        body["cmd"] = "reamp";
        json reply = engine.request(body);
        if (!reply.value("ok", false) || body.value("cancel", false)) return reply;
        return finalEvent();
    }
    json finalEvent() {
        for (;;) {
            auto event = engine.nextEvent("reamp", 60s);
            if (!event) return json{{"timeout", true}};
            if (!event->contains("progress")) return *event;
        }
    }

    std::string dir = freshTempDir("reamp");
    EngineProcess engine{JackServer::shared().environment()};
    JackPeer peer{JackServer::shared().name(), "ReampPeer"};
};

// -60 dB after the first 200 ms, where the live chain had been running before
// the take and the render starts from rest.
void expectSameAfterSettling(const std::vector<float>& wet, const std::vector<float>& rendered) {
    ASSERT_EQ(wet.size(), rendered.size());
    const size_t from = static_cast<size_t>(0.2 * rate);
    std::vector<float> difference(wet.size());
    for (size_t i = 0; i < wet.size(); ++i) difference[i] = wet[i] - rendered[i];
    EXPECT_LT(rms(difference, from), rms(wet, from) * 1e-3);
}

TEST_F(Reamp, ATakeRenderedWithItsOwnToneReproducesItsWetFile) {
    struct Tone {
        const char* name;
        std::vector<json> setup;
    };
    const std::vector<Tone> tones = {
        {"drive", {{{"cmd", "amp"}, {"model", "drive"}, {"gain", 0.7}, {"level", 0.6}}}},
        {"gain plug-in", {{{"cmd", "vstLoad"}, {"path", testBundle("CorvenaGain")}}, {{"cmd", "vstSetParam"}, {"param", 7}, {"value", 0.3}}}},
        {"zamcomp", {{{"cmd", "vstLoad"}, {"path", zamBundle("ZamComp")}}}},
    };
    for (const Tone& tone : tones) {
        SCOPED_TRACE(tone.name);
        for (const json& step : tone.setup) ASSERT_TRUE(engine.request(step)["ok"].get<bool>()) << step.dump();
        if (std::string(tone.name) == "zamcomp") {
            // A parameter away from its default, so the copied state is what counts.
            const json params = engine.request({{"cmd", "vstParams"}})["params"];
            for (const json& p : params)
                if (!p["readOnly"].get<bool>()) {
                    engine.request({{"cmd", "vstSetParam"}, {"param", p["id"]}, {"value", 0.85}});
                    break;
                }
        }
        const std::string di = path(std::string(tone.name) + "-di.wav"), wet = path(std::string(tone.name) + "-wet.wav");
        ASSERT_TRUE(take(di, wet));
        const std::string again = path(std::string(tone.name) + "-again.wav");
        json done = reamp({{"diPath", di}, {"wetPath", again}});
        ASSERT_TRUE(done.value("done", false)) << done.dump();
        EXPECT_EQ(done["wetPath"], again);
        EXPECT_GT(done["realtimeFactor"].get<double>(), 1.0);
        expectSameAfterSettling(readSamples(wet), readSamples(again));
    }
}

TEST_F(Reamp, OtherSettingsChangeTheSoundWhileTheLiveStreamPlaysOn) {
    const std::string di = path("di.wav"), wet = path("wet.wav");
    engine.request({{"cmd", "amp"}, {"model", "clean"}, {"level", 0.7}});
    ASSERT_TRUE(take(di, wet));
    // A long DI (the take, looped to 60 s) renders while a second take runs.
    std::vector<float> take = readSamples(di), longDi;
    while (longDi.size() < 60 * rate) longDi.insert(longDi.end(), take.begin(), take.end());
    writeSamples(path("long.wav"), longDi, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    engine.request({{"cmd", "amp"}, {"level", 0.35}});

    const uint32_t xruns = peer.lostCycles();
    ASSERT_TRUE(engine.request({{"cmd", "record"}, {"diPath", path("live-di.wav")}})["ok"].get<bool>());
    json r = engine.request({{"cmd", "reamp"}, {"diPath", path("long.wav")}, {"wetPath", path("quiet.wav")}});
    ASSERT_TRUE(r["ok"].get<bool>()) << r.dump();
    EXPECT_EQ(r["frames"], longDi.size());
    EXPECT_EQ(r["seconds"], longDi.size() / rate);
    EXPECT_EQ(engine.request({{"cmd", "reamp"}, {"diPath", di}, {"wetPath", path("x.wav")}})["error"],
              "a render is already running");
    // Level events keep coming while it renders, and progress never goes back.
    int levels = 0;
    double progress = 0;
    json done;
    while (done.is_null()) {
        json j;
        if (auto kept = engine.nextEvent("reamp", 0ms)) { // one the request above passed over
            j = *kept;
        } else {
            auto line = engine.readLine(60s);
            ASSERT_TRUE(line);
            j = json::parse(*line);
        }
        if (j["event"] == "level") ++levels;
        if (j["event"] == "reamp" && j.contains("progress")) {
            EXPECT_GE(j["progress"].get<double>(), progress);
            progress = j["progress"].get<double>();
        } else if (j["event"] == "reamp") {
            done = j;
        }
    }
    ASSERT_TRUE(done.value("done", false)) << done.dump();
    json stopped = engine.request({{"cmd", "stop"}});
    EXPECT_TRUE(stopped["ok"].get<bool>()) << "the live take lost nothing: " << stopped.dump();
    if (peer.xrunsSince(xruns) == 0) EXPECT_EQ(stopped.value("error", ""), "");
    const double renderSeconds = done["seconds"].get<double>() / done["realtimeFactor"].get<double>();
    EXPECT_GE(levels, static_cast<int>(renderSeconds / 0.05) - 2) << "level events kept their cadence";

    // Half the level setting: a quarter of the output gain, 12 dB down.
    const std::vector<float> loud = readSamples(wet), quiet = readSamples(path("quiet.wav"));
    ASSERT_EQ(quiet.size(), longDi.size());
    const std::vector<float> firstPass(quiet.begin(), quiet.begin() + static_cast<long>(loud.size()));
    EXPECT_NEAR(20 * std::log10(rms(firstPass, 9600) / rms(loud, 9600)), -12.04, 0.3);
}

TEST_F(Reamp, BadRequestsAreRefusedUpFrontAndNothingHalfWrittenStays) {
    const std::string di = path("di.wav");
    writeSamples(di, guitarLoop(), SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    writeSamples(path("stereo.flac"), std::vector<float>(9600, 0.1f), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2);
    writeSamples(path("empty.wav"), {}, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    std::ofstream(path("text.wav")) << "not audio at all";
    const struct {
        json request;
        std::string error;
    } refused[] = {
        {{{"diPath", path("missing.wav")}, {"wetPath", path("a.wav")}}, "cannot open " + path("missing.wav")},
        {{{"diPath", path("text.wav")}, {"wetPath", path("a.wav")}}, "not an audio file: " + path("text.wav")},
        {{{"diPath", path("empty.wav")}, {"wetPath", path("a.wav")}}, "the DI file is empty"},
        {{{"diPath", path("stereo.flac")}, {"wetPath", path("a.wav")}, {"channel", 2}},
         "the DI file has 2 channels; there is no channel 2"},
        {{{"diPath", di}, {"wetPath", di}}, "the DI and wet paths name the same file"},
        {{{"diPath", di}, {"wetPath", dir}}, "could not open " + dir + " for writing"},
        {{{"diPath", di}, {"wetPath", "/nonexistent/dir/a.wav"}}, "could not open /nonexistent/dir/a.wav for writing"},
        {{{"diPath", di}}, "a wet path is required"},
        {{{"cancel", true}}, "no render is running"},
    };
    for (const auto& row : refused) {
        json request = row.request;
        request["cmd"] = "reamp";
        json reply = engine.request(request);
        EXPECT_FALSE(reply["ok"].get<bool>()) << request.dump();
        EXPECT_EQ(reply.value("error", ""), row.error);
    }
    // A plug-in whose second instance refuses the file's rate.
    ASSERT_TRUE(engine.request({{"cmd", "vstLoad"}, {"path", testBundle("CorvenaOnly48k")}})["ok"].get<bool>());
    writeSamples(path("44k.wav"), guitarLoop(), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 44100);
    EXPECT_EQ(engine.request({{"cmd", "reamp"}, {"diPath", path("44k.wav")}, {"wetPath", path("a.wav")}})["error"],
              "the plugin cannot render offline: plugin rejected the sample rate or buffer size");
    engine.request({{"cmd", "vstUnload"}});
    EXPECT_FALSE(std::filesystem::exists(path("a.wav")));
    EXPECT_FALSE(std::filesystem::exists(path("a.wav.part")));
    // The second channel of a FLAC file renders.
    EXPECT_TRUE(reamp({{"diPath", path("stereo.flac")}, {"wetPath", path("b.wav")}, {"channel", 1}}).value("done", false));

    // Cancelled mid-way: no file under the wet path, nor its temporary one.
    std::vector<float> minutes;
    for (int i = 0; i < 300; ++i) minutes.insert(minutes.end(), 48000, 0.2f);
    writeSamples(path("long.wav"), minutes, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    ASSERT_TRUE(engine.request({{"cmd", "vstLoad"}, {"path", testBundle("CorvenaGain")}})["ok"].get<bool>());
    ASSERT_TRUE(engine.request({{"cmd", "reamp"}, {"diPath", path("long.wav")}, {"wetPath", path("c.wav")}})["ok"].get<bool>());
    EXPECT_TRUE(engine.request({{"cmd", "reamp"}, {"cancel", true}})["ok"].get<bool>());
    EXPECT_EQ(finalEvent(), json({{"event", "reamp"}, {"cancelled", true}}));
    EXPECT_FALSE(std::filesystem::exists(path("c.wav")));
    EXPECT_FALSE(std::filesystem::exists(path("c.wav.part")));

    // A full disk: a small tmpfs (when this test may mount one).
    const std::string small = path("small");
    std::filesystem::create_directory(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") == 0) {
        json failed = reamp({{"diPath", path("long.wav")}, {"wetPath", small + "/d.wav"}});
        EXPECT_NE(failed.value("error", "").find("disk"), std::string::npos) << failed.dump();
        EXPECT_TRUE(std::filesystem::is_empty(small));
        ::umount(small.c_str());
    }

    // A render running at quit is cancelled, its temporary file gone, exit 0.
    ASSERT_TRUE(engine.request({{"cmd", "reamp"}, {"diPath", path("long.wav")}, {"wetPath", path("e.wav")}})["ok"].get<bool>());
    EXPECT_EQ(engine.quit(), 0);
    EXPECT_FALSE(std::filesystem::exists(path("e.wav")));
    EXPECT_FALSE(std::filesystem::exists(path("e.wav.part")));
}

} // namespace
