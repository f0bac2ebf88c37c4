// Re-amping through the running engine on the private JACK server.
#include "capture/CaptureTestKit.h"
#include "support/TestPlugins.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

namespace corvena::test {
namespace {
namespace fs = std::filesystem;

constexpr double rate = 48000.0;

class Reamp : public EngineOnJack {
protected:
    Reamp() : EngineOnJack(threePartials(48000)) {}
    // Sends a reamp request; on success, its final event, else the reply.
    json reamp(json body) {
        body["cmd"] = "reamp";
        const json reply = engine.request(body);
        return reply.value("ok", false) ? finalEvent() : reply;
    }
    // The running render's last event; its progress never goes back meanwhile.
    json finalEvent() {
        for (double progress = 0;;) {
            const auto event = engine.nextEvent("reamp", 60s);
            if (!event || !event->contains("progress")) return event.value_or(json{{"timeout", true}});
            EXPECT_GE((*event)["progress"].get<double>(), progress);
            progress = (*event)["progress"];
        }
    }
    bool nothingAt(const std::string& name) const { return !fs::exists(path(name)) && !fs::exists(path(name + ".part")); }
};

// -60 dB after the first 200 ms, where the live chain had been running before
// the take and the render starts from rest.
void expectSameAfterSettling(const std::vector<float>& heard, const std::vector<float>& wanted) {
    ASSERT_GE(heard.size(), wanted.size());
    EXPECT_LT(relativeRms(std::vector<float>(heard.begin() + 9600, heard.begin() + long(wanted.size())),
                          std::vector<float>(wanted.begin() + 9600, wanted.end())), 1e-3);
}

TEST_F(Reamp, ATakeRenderedWithItsOwnToneReproducesItsWetFileAndOtherSettingsChangeIt) {
    // Takes of about 1.5 s, timed by the frames the engine reports. A cycle the
    // server drops is missing from the DI and the wet file alike: the live chain
    // saw the same DI as the file holds, so no take needs retaking.
    const auto take = [&](const std::string& name) {
        if (!ok({{"cmd", "record"}, {"diPath", path(name + "-di.wav")}, {"wetPath", path(name + "-wet.wav")}})) return false;
        for (uint64_t frames = 0; frames < 1.5 * rate;)
            if (auto level = engine.nextLevel()) frames = level->value("frames", frames);
        return ok({{"cmd", "stop"}});
    };
    ASSERT_TRUE(ok({{"cmd", "amp"}, {"model", "drive"}, {"gain", 0.7}, {"level", 0.6}}));
    ASSERT_TRUE(take("drive"));
    // A plug-in standing in for the amp: its take rendered again is its wet file (the amp's: below).
    ASSERT_TRUE(ok({{"cmd", "vstLoad"}, {"path", testBundle("CorvenaGain")}}));
    ASSERT_TRUE(ok({{"cmd", "vstSetParam"}, {"param", 7}, {"value", 0.3}}));
    ASSERT_TRUE(take("plug-in"));
    const json again = reamp({{"diPath", path("plug-in-di.wav")}, {"wetPath", path("plug-in-again.wav")}});
    ASSERT_TRUE(again.value("done", false)) << again.dump();
    expectSameAfterSettling(readWav(path("plug-in-again.wav")), readWav(path("plug-in-wet.wav")));

    // The amp's take, looped to 60 s, renders at half the level setting (the
    // plug-in, which stood in for the amp, unloaded) while a live take runs: a
    // quarter of the output gain, and the live take loses nothing.
    std::vector<float> longDi;
    for (const std::vector<float> t = readWav(path("drive-di.wav")); longDi.size() < 60 * rate;) longDi.insert(longDi.end(), t.begin(), t.end());
    writeWav(path("long.wav"), longDi);
    ASSERT_TRUE(ok({{"cmd", "vstUnload"}}));
    ASSERT_TRUE(ok({{"cmd", "amp"}, {"level", 0.3}}));
    const uint32_t xruns = peer.lostCycles();
    ASSERT_TRUE(ok({{"cmd", "record"}, {"diPath", path("live-di.wav")}}));
    const json started = engine.request({{"cmd", "reamp"}, {"diPath", path("long.wav")}, {"wetPath", path("quiet.wav")}});
    ASSERT_TRUE(started["ok"].get<bool>()) << started.dump();
    EXPECT_EQ(started["frames"], longDi.size());
    EXPECT_EQ(engine.request({{"cmd", "reamp"}, {"diPath", path("long.wav")}, {"wetPath", path("x.wav")}})["error"],
              "a render is already running");
    const json done = finalEvent();
    ASSERT_TRUE(done.value("done", false)) << done.dump();
    const json stopped = engine.request({{"cmd", "stop"}});
    EXPECT_TRUE(stopped["ok"].get<bool>()) << stopped.dump();
    if (peer.xrunsSince(xruns) == 0) EXPECT_EQ(stopped.value("error", ""), "") << "the live take lost nothing";
    std::vector<float> quiet = readWav(path("quiet.wav"));
    ASSERT_EQ(quiet.size(), longDi.size());
    for (float& v : quiet) v *= 4.0f;
    expectSameAfterSettling(quiet, readWav(path("drive-wet.wav")));
}

TEST_F(Reamp, BadRequestsAreRefusedUpFrontAndNothingHalfWrittenStays) {
    const std::string di = writeWav(path("di.wav"), threePartials(48000));
    writeWav(path("stereo.flac"), std::vector<float>(9600, 0.1f), 48000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2);
    std::ofstream(path("text.wav")) << "not audio at all";
    // The plug-in's second instance refuses any rate but 48 kHz.
    ASSERT_TRUE(ok({{"cmd", "vstLoad"}, {"path", testBundle("CorvenaOnly48k")}}));
    const std::pair<json, std::string> refused[] = {
        {{{"diPath", path("missing.wav")}, {"wetPath", path("a.wav")}}, "cannot open " + path("missing.wav")},
        {{{"diPath", path("text.wav")}, {"wetPath", path("a.wav")}}, "not an audio file: " + path("text.wav")},
        {{{"diPath", writeWav(path("empty.wav"), {})}, {"wetPath", path("a.wav")}}, "the DI file is empty"},
        {{{"diPath", path("stereo.flac")}, {"wetPath", path("a.wav")}, {"channel", 2}}, "the DI file has 2 channels; there is no channel 2"},
        {{{"diPath", di}, {"wetPath", di}}, "the DI and wet paths name the same file"},
        {{{"diPath", di}, {"wetPath", "/nonexistent/dir/a.wav"}}, "could not open /nonexistent/dir/a.wav for writing"},
        {{{"diPath", di}}, "a wet path is required"},
        {{{"cancel", true}}, "no render is running"},
        {{{"diPath", writeWav(path("44k.wav"), threePartials(48000), 44100)}, {"wetPath", path("a.wav")}},
         "the plugin cannot render offline: plugin rejected the sample rate or buffer size"},
    };
    for (const auto& [request, error] : refused) {
        const json reply = reamp(request);
        EXPECT_FALSE(reply.value("ok", true)) << request.dump();
        EXPECT_EQ(reply.value("error", ""), error);
    }
    EXPECT_TRUE(nothingAt("a.wav"));
    // The second channel of a FLAC file renders.
    EXPECT_TRUE(reamp({{"diPath", path("stereo.flac")}, {"wetPath", path("b.wav")}, {"channel", 1}}).value("done", false));

    // Cancelled mid-way: no file under the wet path, nor its temporary one.
    writeWav(path("long.wav"), std::vector<float>(300 * 48000, 0.2f));
    ASSERT_TRUE(ok({{"cmd", "reamp"}, {"diPath", path("long.wav")}, {"wetPath", path("c.wav")}}));
    EXPECT_TRUE(ok({{"cmd", "reamp"}, {"cancel", true}}));
    EXPECT_EQ(finalEvent(), json({{"event", "reamp"}, {"cancelled", true}}));
    EXPECT_TRUE(nothingAt("c.wav"));

    // A full disk: a small tmpfs (when this test may mount one).
    fs::create_directory(path("small"));
    if (::mount("tmpfs", path("small").c_str(), "tmpfs", 0, "size=256k") == 0) {
        const json failed = reamp({{"diPath", path("long.wav")}, {"wetPath", path("small/d.wav")}});
        EXPECT_NE(failed.value("error", "").find("disk"), std::string::npos) << failed.dump();
        EXPECT_TRUE(fs::is_empty(path("small")));
        ::umount(path("small").c_str());
    }

    // A render running at quit is cancelled, its temporary file gone, exit 0.
    ASSERT_TRUE(ok({{"cmd", "reamp"}, {"diPath", path("long.wav")}, {"wetPath", path("e.wav")}}));
    EXPECT_EQ(engine.quit(), 0);
    EXPECT_TRUE(nothingAt("e.wav"));
}

} // namespace
} // namespace corvena::test
