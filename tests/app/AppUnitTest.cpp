#include "app/AmpSettingsMerge.h"
#include "app/Base64.h"
#include "app/Protocol.h"
#include "app/RequestFields.h"
#include "app/StderrRelay.h"
#include "engine/Engine.h"

#include <gtest/gtest.h>
#include <cmath>
#include <cstdio>
#include <limits>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

using namespace corvena;

TEST(Setters, ClampUpperBoundFirstThenLower) {
    Engine e;
    e.setMonitor(true, 5.0f);
    EXPECT_EQ(e.monitorLevel.load(), 2.0f);
    e.setMonitor(false, -1.0f);
    EXPECT_EQ(e.monitorLevel.load(), 0.0f);
    EXPECT_FALSE(e.monitorEnabled.load());
    // 1e39 does not fit single precision: it arrives as infinity and must clamp, not poison.
    e.setMonitor(true, std::numeric_limits<float>::infinity());
    EXPECT_EQ(e.monitorLevel.load(), 2.0f);
    e.setMonitor(true, std::numeric_limits<float>::quiet_NaN());
    EXPECT_FALSE(std::isnan(e.monitorLevel.load()));

    e.setTestTone(true, 5.0f, 1.0f);
    EXPECT_EQ(e.toneFrequency.load(), 20.0f);
    EXPECT_EQ(e.toneLevel.load(), 0.5f);
    EXPECT_TRUE(e.toneEnabled.load());
    e.setTestTone(true, 30000.0f, 0.1f);
    EXPECT_EQ(e.toneFrequency.load(), 20000.0f);
    EXPECT_EQ(e.toneLevel.load(), 0.1f);
    e.setTestTone(false, -std::numeric_limits<float>::infinity(), -3.0f);
    EXPECT_EQ(e.toneFrequency.load(), 20.0f);
    EXPECT_EQ(e.toneLevel.load(), 0.0f);
}

TEST(Setters, MetronomeRestartsTheBarOnlyWhenSwitchedOn) {
    Engine e;
    e.setMetronome(true, 10.0f);
    EXPECT_EQ(e.metronomeBpm.load(), 20.0f);
    EXPECT_TRUE(e.metronomeResetRequested.exchange(false));
    e.setMetronome(true, 1e9f);
    EXPECT_EQ(e.metronomeBpm.load(), 300.0f);
    EXPECT_FALSE(e.metronomeResetRequested.load()) << "already running: no restart";
    e.setMetronome(false, 100.0f);
    EXPECT_FALSE(e.metronomeEnabled.load());
    EXPECT_EQ(e.metronomeBpm.load(), 100.0f);
    EXPECT_FALSE(e.metronomeResetRequested.load());
}

TEST(Setters, InputChannelBeforeAndAfterAStreamExists) {
    Engine e;
    e.setInputChannel(7);
    EXPECT_EQ(e.selectedInputChannel.load(), 7u) << "no stream yet: stored unchanged";
    e.inputChannelCount = 2;
    e.setInputChannel(7);
    EXPECT_EQ(e.selectedInputChannel.load(), 1u);
    e.setInputChannel(0);
    EXPECT_EQ(e.selectedInputChannel.load(), 0u);
}

TEST(Setters, AmpSettingsAreHandedOverAsAWholeAndMarkedChanged) {
    Engine e;
    AmpSettings s;
    s.model = AmpModel::Clean;
    s.gain = 3.0f;
    e.setAmpSettings(s, false);
    EXPECT_TRUE(e.settingsChanged.load());
    EXPECT_FALSE(e.ampEnabled.load());
    EXPECT_EQ(e.pendingSettings.model, AmpModel::Clean);
    EXPECT_EQ(e.pendingSettings.gain, 3.0f);
}

TEST(Meters, TakeAndReset) {
    Engine e;
    auto peaks = e.takeInputPeaks();
    ASSERT_EQ(peaks.size(), 1u) << "before any stream: one entry";
    EXPECT_EQ(peaks[0], 0.0f);

    e.inputChannelCount = 3;
    raisePeak(e.inputPeaks[2], 0.5f);
    raisePeak(e.inputPeaks[2], 0.25f); // lower: ignored
    raisePeak(e.outputPeak, 0.75f);
    e.xrunCount.fetch_add(2);
    peaks = e.takeInputPeaks();
    ASSERT_EQ(peaks.size(), 3u);
    EXPECT_EQ(peaks[2], 0.5f);
    EXPECT_EQ(e.takeOutputPeak(), 0.75f);
    EXPECT_EQ(e.takeXrunCount(), 2u);
    // A second read without a block in between sees nothing.
    EXPECT_EQ(e.takeInputPeaks()[2], 0.0f);
    EXPECT_EQ(e.takeOutputPeak(), 0.0f);
    EXPECT_EQ(e.takeXrunCount(), 0u);
}

TEST(AmpSettingsMerge, OnlyPresentKeysChange) {
    AmpSettings current;
    auto s = mergeAmpSettings(json::parse(R"({"gain":0.9})"), current);
    EXPECT_EQ(s.gain, 0.9f);
    EXPECT_EQ(s.model, AmpModel::Drive);
    EXPECT_EQ(s.bass, 0.5f);
    EXPECT_EQ(s.level, 0.7f);
    EXPECT_EQ(s.gate, 0.5f);

    s = mergeAmpSettings(json::parse(R"({"model":"clean","gate":-1,"treble":3})"), s);
    EXPECT_EQ(s.model, AmpModel::Clean);
    EXPECT_EQ(s.gate, -1.0f) << "handed on unclamped";
    EXPECT_EQ(s.treble, 3.0f);
    EXPECT_EQ(s.gain, 0.9f);
    for (const char* other : {R"({"model":"Clean"})", R"({"model":"drive"})", R"({"model":""})"})
        EXPECT_EQ(mergeAmpSettings(json::parse(other), s).model, AmpModel::Drive) << other;

    EXPECT_THROW(mergeAmpSettings(json::parse(R"({"gain":"loud"})"), s), json::type_error);
    EXPECT_THROW(mergeAmpSettings(json::parse(R"({"model":1})"), s), json::type_error);
    EXPECT_TRUE(std::isinf(mergeAmpSettings(json::parse(R"({"gain":1e39})"), s).gain));
}

TEST(RequestFields, IntegersDropTheFractionAndNumbersWidenExactly) {
    const json r = json::parse(R"({"a":5.9,"b":48000,"c":1e30,"d":0.8,"e":true})");
    EXPECT_EQ(readUint32(r, "a", 0), 5u);
    EXPECT_EQ(readUint32(r, "b", 0), 48000u);
    EXPECT_EQ(readUint32(r, "c", 0), std::numeric_limits<uint32_t>::max());
    EXPECT_EQ(readUint32(r, "missing", 17), 17u);
    EXPECT_EQ(readFloat(r, "d", 0), 0.8f);
    EXPECT_TRUE(readBool(r, "e", false));
    EXPECT_THROW(readBool(r, "a", false), json::type_error);
    EXPECT_THROW(readString(r, "b", ""), json::type_error);
}

TEST(Serialization, WireFormat) {
    // Keys sorted at every depth, single precision widened, whole floats keep a fraction.
    json j = {{"out", static_cast<double>(0.8f)}, {"b", {{"z", 1}, {"a", 2.0}}}, {"seconds", 0.0}, {"s", "é"}};
    EXPECT_EQ(serializeLine(j), R"({"b":{"a":2.0,"z":1},"out":0.800000011920929,"s":"é","seconds":0.0})");
}

TEST(Serialization, InvalidUtf8IsRepairedNotDropped) {
    json j = {{"name", std::string("Amp\xff\xc3(\xe2\x82")}, {"ok", true}};
    EXPECT_EQ(serializeLine(j), "{\"name\":\"Amp\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\",\"ok\":true}");
    // Overlong and surrogate encodings are not UTF-8 either.
    json k = {{"n", std::string("\xc0\xaf\xed\xa0\x80")}};
    EXPECT_EQ(json::parse(serializeLine(k))["n"].get<std::string>().find('\xc0'), std::string::npos);
}

TEST(StderrRelay, RepeatsCollapseToOneCopyAndACountAtMostEverySecond) {
    RepeatCollapser c;
    const auto t0 = RepeatCollapser::Clock::now();
    using std::chrono::milliseconds;
    EXPECT_EQ(c.line("boom", t0), "boom\n");
    for (int i = 1; i <= 99; ++i) EXPECT_EQ(c.line("boom", t0 + milliseconds(i)), "");
    EXPECT_TRUE(c.pending());
    EXPECT_EQ(c.tick(t0 + milliseconds(500)), "");
    // A second after the first repeat the count goes out; the line is still the one compared.
    EXPECT_EQ(c.tick(t0 + milliseconds(1001)), "(repeated 99 times)\n");
    EXPECT_EQ(c.line("boom", t0 + milliseconds(1100)), "");
    EXPECT_EQ(c.line("other", t0 + milliseconds(1200)), "(repeated 1 time)\nother\n");
    EXPECT_EQ(c.line("boom", t0 + milliseconds(1300)), "boom\n");
    EXPECT_EQ(c.line("boom", t0 + milliseconds(1400)), "");
    EXPECT_EQ(c.flush(), "(repeated 1 time)\n");
    EXPECT_FALSE(c.pending());
    EXPECT_EQ(c.flush(), "");
    EXPECT_EQ(c.line("", t0 + milliseconds(1500)), "\n");
}

TEST(Base64, RoundTripsEveryByteAndRefusesAnythingButStrictBase64) {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    for (size_t n = 0; n <= all.size(); n += 1 + n / 3) {
        const std::string bytes = all.substr(0, n);
        std::string back = "x";
        ASSERT_TRUE(decodeBase64(encodeBase64(bytes), back)) << n;
        EXPECT_EQ(back, bytes);
    }
    EXPECT_EQ(encodeBase64("AB"), "QUI=");
    std::string out;
    for (const char* bad : {"QQ=A", "Q===", "QQ==QUJD", " QUJ", "QUJD\n", "QUI", "QU-D", "QU D", "===="})
        EXPECT_FALSE(decodeBase64(bad, out)) << bad;
}

#ifdef _WIN32
// The relay's Windows form, in this process: the original stderr is a small
// pipe read only at the end. Repeats collapse (stderr is not left buffered),
// writes through the Win32 handles arrive too, and a flood nobody reads never blocks the writer (a blocked
// writer hangs this test until ctest's timeout).
TEST(StderrRelay, OnWindowsCollapsesRepeatsAndNeverBlocksItsWriters) {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 4096));
    _dup2(_open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_WRONLY | _O_BINARY), 2);
    SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
    const int testOutput = _dup(1); // the test's own report, which the relay would take
    StderrRelay* relay = StderrRelay::start();
    DWORD n = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "via the handle\n", 15, &n, nullptr);
    std::fflush(stdout);
    _dup2(testOutput, 1);
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
    ASSERT_NE(relay, nullptr);
    for (int i = 0; i < 100; ++i)
        std::fputs("same\n", stderr);
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), "direct\n", 7, &n, nullptr);
    relay->drain(std::chrono::seconds(5));
    std::string passed;
    char chunk[4096];
    for (DWORD queued = 0, got = 0; PeekNamedPipe(readEnd, nullptr, 0, nullptr, &queued, nullptr) && queued > 0;)
        if (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr))
            passed.append(chunk, got);
    EXPECT_EQ(passed, "via the handle\nsame\n(repeated 99 times)\ndirect\n");

    const std::string line(999, 'x');
    for (int i = 0; i < 4000; ++i) // 4 MB, four times what the relay holds
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), (line + "\n").data(), 1000, &n, nullptr);
    std::fprintf(stderr, "%s\n", line.c_str());
}
#endif
