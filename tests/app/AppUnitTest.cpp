// The control layer's pieces: settings clamps, request fields, the wire format,
// the stderr relay's collapsing, base64.
#include "app/AmpSettingsMerge.h"
#include "app/Base64.h"
#include "app/Protocol.h"
#include "app/RequestFields.h"
#include "app/StandardStreams.h"
#include "app/StderrRelay.h"
#include "engine/Engine.h"

#include <gtest/gtest.h>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <tuple>
#include <fcntl.h>
#include <iostream>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

using namespace corvena;

// Each setting clamps into its range; infinities (1e39 arrives as one) and NaN
// end at a bound, never inside the engine.
TEST(Setters, ClampEveryValueIncludingNaNAndInfinities) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const auto monitor = [](Engine& e, float v) { return e.setMonitor(true, v), e.monitorLevel.load(); };
    const auto toneLevel = [](Engine& e, float v) { return e.setTestTone(true, 440.0f, v), e.toneLevel.load(); };
    const auto toneFrequency = [](Engine& e, float v) { return e.setTestTone(true, v, 0.1f), e.toneFrequency.load(); };
    const auto bpm = [](Engine& e, float v) { return e.setMetronome(true, v), e.metronomeBpm.load(); };
    const auto reference = [](Engine& e, float v) { return e.setTuner(true, v, false), e.tunerReference; };
    // Each setter with the values it is given and what it keeps of them.
    const std::pair<std::function<float(Engine&, float)>, std::vector<std::pair<float, float>>> setters[] = {
        {monitor, {{5.0f, 2.0f}, {-1.0f, 0.0f}, {inf, 2.0f}, {nan, 2.0f}, {1.2f, 1.2f}}},
        {toneLevel, {{1.0f, 0.5f}, {-3.0f, 0.0f}}},
        {toneFrequency, {{5.0f, 20.0f}, {3e4f, 2e4f}, {-inf, 20.0f}}},
        {bpm, {{10.0f, 20.0f}, {1e9f, 300.0f}, {nan, 300.0f}}},
        {reference, {{1e9f, 480.0f}, {432.0f, 432.0f}}},
    };
    for (size_t k = 0; k < std::size(setters); ++k)
        for (const auto& [in, expected] : setters[k].second) {
            Engine e;
            EXPECT_EQ(setters[k].first(e, in), expected) << "setter " << k << " given " << in;
        }
}

TEST(RequestFields, AmpSettingsMergePresentKeysAndFieldsConvertExactly) {
    AmpSettings s = mergeAmpSettings(json::parse(R"({"gain":0.9})"), AmpSettings{});
    EXPECT_EQ(std::tie(s.model, s.gain, s.bass, s.level, s.gate), std::make_tuple(AmpModel::Drive, 0.9f, 0.5f, 0.7f, 0.5f));
    s = mergeAmpSettings(json::parse(R"({"model":"clean","gate":-1,"treble":3})"), s);
    EXPECT_EQ(std::tie(s.model, s.gate, s.treble, s.gain), std::make_tuple(AmpModel::Clean, -1.0f, 3.0f, 0.9f)) << "unclamped";
    for (const char* other : {R"({"model":"Clean"})", R"({"model":"drive"})", R"({"model":""})"})
        EXPECT_EQ(mergeAmpSettings(json::parse(other), s).model, AmpModel::Drive) << other;
    EXPECT_THROW(mergeAmpSettings(json::parse(R"({"model":1})"), s), json::type_error);
    EXPECT_TRUE(std::isinf(mergeAmpSettings(json::parse(R"({"gain":1e39})"), s).gain));

    const json r = json::parse(R"({"a":5.9,"b":48000,"c":1e30,"d":0.8})");
    EXPECT_EQ(std::make_tuple(readUint32(r, "a", 0), readUint32(r, "b", 0), readUint32(r, "c", 0), readUint32(r, "missing", 17)),
              std::make_tuple(5u, 48000u, std::numeric_limits<uint32_t>::max(), 17u)) << "truncated, saturated, defaulted";
    EXPECT_EQ(readFloat(r, "d", 0), 0.8f);
    EXPECT_THROW(readBool(r, "a", false), json::type_error);
    EXPECT_THROW(readString(r, "b", ""), json::type_error);
}

TEST(Serialization, SortedKeysWidenedFloatsAndRepairedUtf8) {
    json j = {{"out", static_cast<double>(0.8f)}, {"b", {{"z", 1}, {"a", 2.0}}}, {"seconds", 0.0}, {"s", "é"}};
    EXPECT_EQ(serializeLine(j), R"({"b":{"a":2.0,"z":1},"out":0.800000011920929,"s":"é","seconds":0.0})");
    json bad = {{"name", std::string("Amp\xff\xc3(\xe2\x82")}, {"ok", true}};
    EXPECT_EQ(serializeLine(bad), "{\"name\":\"Amp\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\",\"ok\":true}");
    json overlong = {{"n", std::string("\xc0\xaf\xed\xa0\x80")}}; // overlong and surrogate forms are not UTF-8 either
    EXPECT_EQ(json::parse(serializeLine(overlong))["n"].get<std::string>().find('\xc0'), std::string::npos);
}

TEST(StderrRelay, RepeatsCollapseToOneCopyAndACountAtMostEverySecond) {
    RepeatCollapser c;
    const auto t0 = RepeatCollapser::Clock::now();
    using std::chrono::milliseconds;
    EXPECT_EQ(c.line("boom", t0), "boom\n");
    for (int i = 1; i <= 99; ++i) EXPECT_EQ(c.line("boom", t0 + milliseconds(i)), "");
    EXPECT_EQ(c.tick(t0 + milliseconds(500)), "");
    EXPECT_EQ(c.tick(t0 + milliseconds(1001)), "(repeated 99 times)\n");
    EXPECT_EQ(c.line("boom", t0 + milliseconds(1100)), "") << "still the line compared";
    EXPECT_EQ(c.line("other", t0 + milliseconds(1200)), "(repeated 1 time)\nother\n");
    EXPECT_EQ(c.line("other", t0 + milliseconds(1300)), "");
    EXPECT_EQ(c.flush(), "(repeated 1 time)\n");
    EXPECT_FALSE(c.pending());
    EXPECT_EQ(c.line("", t0 + milliseconds(1500)), "\n");
}

TEST(Base64, RoundTripsEveryByteAndRefusesAnythingButStrictBase64) {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    for (size_t n = 0; n <= all.size(); n += 1 + n / 3) {
        std::string back = "x";
        ASSERT_TRUE(decodeBase64(encodeBase64(all.substr(0, n)), back)) << n;
        EXPECT_EQ(back, all.substr(0, n));
    }
    EXPECT_EQ(encodeBase64("AB"), "QUI=");
    std::string out;
    for (const char* bad : {"QQ=A", "Q===", "QQ==QUJD", " QUJ", "QUJD\n", "QUI", "QU-D", "QU D", "===="})
        EXPECT_FALSE(decodeBase64(bad, out)) << bad;
}

#ifndef _WIN32
// A library thread cancelled while it prints to std::cerr (RtAudio's JACK
// client thread, as its server dies) ends alone, not the whole process.
TEST(StandardStreamsDeathTest, AThreadCancelledWhilePrintingEndsAlone) {
    EXPECT_EXIT({
        ::dup2(::open("/dev/null", O_WRONLY), 2);
        std::ios_base::sync_with_stdio(false);
        separateProtocolOutput();
        pthread_t printer;
        // Cancelled at its next write, the one cancellation point of the loop.
        pthread_create(&printer, nullptr, [](void*) -> void* { for (;;) std::cerr << "x"; }, nullptr);
        ::usleep(50000);
        pthread_cancel(printer);
        pthread_join(printer, nullptr);
        std::exit(0);
    }, ::testing::ExitedWithCode(0), "");
}
#else
// The relay's Windows form, in this process: the original stderr is a small
// pipe read only at the end. Repeats collapse, writes through the Win32 handles
// arrive too, and a flood nobody reads never blocks the writer (a blocked
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
    for (int i = 0; i < 100; ++i) std::fputs("same\n", stderr);
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), "direct\n", 7, &n, nullptr);
    relay->drain(std::chrono::seconds(5));
    std::string passed;
    char chunk[4096];
    for (DWORD queued = 0, got = 0; PeekNamedPipe(readEnd, nullptr, 0, nullptr, &queued, nullptr) && queued > 0;)
        if (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr)) passed.append(chunk, got);
    EXPECT_EQ(passed, "via the handle\nsame\n(repeated 99 times)\ndirect\n");

    const std::string line(999, 'x');
    for (int i = 0; i < 4000; ++i) // 4 MB, four times what the relay holds
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), (line + "\n").data(), 1000, &n, nullptr);
    std::fprintf(stderr, "%s\n", line.c_str());
}
#endif
