// The control protocol through the real process: exact bytes on the wire.
// (Exits with a take running, and a reader that goes away: TakeProcessTest.cpp.)
#include "support/EngineProcess.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <utility>
#include <vector>

using namespace corvena::test;

TEST(Protocol, ReadyFirstFramingAndExactRepliesWithNothingOpenOrLoaded) {
    EngineProcess p;
    EXPECT_EQ(p.readyLine(), R"({"event":"ready","version":"0.1.0"})");
    EXPECT_FALSE(p.readLine(300ms)) << "no stream, no request: silence";
    // CR LF or LF; empty lines get no reply.
    p.writeRaw("{\"id\":1,\"cmd\":\"ping\"}\r\n\n\r\n{\"id\":1,\"cmd\":\"ping\"}\n");
    EXPECT_EQ(p.readLine(), R"({"id":1,"ok":true,"pong":true})");
    EXPECT_EQ(p.readLine(), R"({"id":1,"ok":true,"pong":true})") << "not a reply to an empty line";

    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({})", R"({"error":"unknown command: ","id":null,"ok":false})"},
        {R"({"cmd":"ping"})", R"({"id":null,"ok":true,"pong":true})"},
        {R"({"id":{"z":[1,{"y":2,"b":true}],"a":null},"cmd":"ping"})",
         R"({"id":{"a":null,"z":[1,{"b":true,"y":2}]},"ok":true,"pong":true})"},
        {R"({"id":[1.5,"x",false,-7],"cmd":"ping"})", R"({"id":[1.5,"x",false,-7],"ok":true,"pong":true})"},
        {R"({"id":3,"cmd":"PING"})", R"({"error":"unknown command: PING","id":3,"ok":false})"},
        {R"({"id":4,"cmd":"stop"})",
         R"({"diPath":"","error":"not recording","frames":0,"id":4,"ok":false,"seconds":0.0,"wetPath":""})"},
        {R"({"id":6,"cmd":"vstStatus"})",
         R"({"available":true,"editorOpen":false,"id":6,"loaded":false,"name":"","ok":true,"path":""})"},
        {R"({"id":7,"cmd":"record","diPath":"/tmp/x.wav"})", R"({"error":"no audio stream is open","id":7,"ok":false})"},
        {R"({"id":8,"cmd":"inputChannel","channel":9})", R"({"id":8,"inputChannel":9,"ok":true})"},
        {R"({"id":8,"cmd":"inputChannel"})", R"({"id":8,"inputChannel":0,"ok":true})"},
        {R"({"id":9,"cmd":"open","api":"NoneSuch"})", R"({"error":"unknown audio API: NoneSuch","id":9,"ok":false})"},
        {R"({"id":10,"cmd":"vstEditor"})", R"({"error":"no plugin loaded","id":10,"ok":false})"},
    };
    for (const auto& [request, expected] : cases) EXPECT_EQ(p.request(request), expected) << request;
    // The bare acknowledgement; the idle status itself is pinned after the mistyped requests below.
    for (const char* fields : {R"("close")", R"("vstUnload")", R"("vstEnable","enabled":false)", R"("metronome","bpm":100)",
                               R"("tone","enabled":false)", R"("monitor","level":5)", R"("amp","model":"clean","gain":1e39)",
                               R"("vstEditor","open":false)", R"("tuner","reference":1e9,"mute":true)"})
        EXPECT_EQ(p.request(std::string(R"({"id":16,"cmd":)") + fields + "}"), R"({"id":16,"ok":true})") << fields;
    EXPECT_EQ(p.request(R"({"id":16,"cmd":"status"})"),
              R"({"blockSize":0,"cabinetPath":"","captureLatencyMs":0.0,"capturePath":"","frames":0,"id":16,"ok":true,"open":false,"recording":false,"sampleRate":0,"tuner":true})");
    // A last line without a line feed is still answered at end of input.
    p.writeRaw(R"({"id":21,"cmd":"ping"})");
    p.closeInput();
    EXPECT_EQ(p.readLine(), R"({"id":21,"ok":true,"pong":true})");
    EXPECT_EQ(p.wait(), 0);
}

// Lines that are not one JSON object: malformed ones are answered without an
// id; wrong types get the JSON library's message and change nothing. Quit is
// answered, the lines after it are not, and it ends the process with its input open.
TEST(Protocol, MalformedAndMistypedLinesAreAnsweredAndChangeNothingUntilQuit) {
    EngineProcess p;
    for (const char* bad : {"hello", R"({"id":7,"cmd":"ping"} x)", R"({"id":7,"cmd":"ping"}{})", "{\"id\":1,\"cmd\":\"p\xffng\"}",
                            R"({"id":1,/*c*/"cmd":"ping"})"}) {
        const json j = json::parse(p.request(bad));
        EXPECT_EQ(json({j.size(), j["ok"], j.value("error", "").substr(0, 19)}), json({2, false, "malformed request: "})) << bad;
    }
    const std::vector<std::pair<std::string, json>> mistyped = {
        {R"({"id":1,"cmd":5})", 1}, {R"({"id":2,"cmd":"amp","enabled":"yes"})", 2},
        {R"({"id":3,"cmd":"amp","gain":"loud"})", 3}, {R"({"id":4,"cmd":"metronome","enabled":null})", 4},
        {R"({"id":5,"cmd":"vstLoad","path":{"a":1}})", 5}, {R"({"id":6,"cmd":"inputChannel","channel":"3"})", 6},
        {R"([1,2,3])", nullptr}, {R"("ping")", nullptr}, {R"(42)", nullptr}};
    for (const auto& [request, id] : mistyped) {
        const json j = json::parse(p.request(request));
        EXPECT_EQ(json({j["ok"], j["id"]}), json({false, id})) << request;
        EXPECT_NE(j["error"].get<std::string>().find("type"), std::string::npos) << request;
    }
    EXPECT_EQ(p.request(R"({"id":7,"cmd":"status"})"),
              R"({"blockSize":0,"cabinetPath":"","captureLatencyMs":0.0,"capturePath":"","frames":0,"id":7,"ok":true,"open":false,"recording":false,"sampleRate":0,"tuner":false})");
    EXPECT_EQ(p.request(R"({"id":8,"cmd":"inputChannel"})"), R"({"id":8,"inputChannel":0,"ok":true})") << "not moved to 3";

    // Random pieces of requests, in a burst: exactly one reply, valid JSON, per line.
    std::mt19937 rng(1234);
    const std::vector<std::string> pieces = {
        R"({"cmd":"amp","gain":)", R"({"cmd":)", "\"", "null", "[", "]", "{", "}", "1e999", "-0", "\xff", "\xc3",
        R"("monitor")", R"("enabled":)", "true", ",", ":", R"({"id":{},"cmd":"tone","level":"x"})",
        R"({"cmd":"metronome","bpm":[]})", R"({"cmd":"inputChannel","channel":-1.5})", "\\u0000", "\"\\ud800\"",
        R"({"cmd":"vstEnable","enabled":0})", R"({"cmd":"amp","model":7})", "   ", "\t"};
    std::string burst;
    for (int i = 0; i < 400; ++i) {
        for (int k = 1 + static_cast<int>(rng() % 6); k > 0; --k) burst += pieces[rng() % pieces.size()];
        burst += "\n";
    }
    p.writeRaw(burst + "{\"id\":11,\"cmd\":\"quit\"}\n{\"id\":2,\"cmd\":\"ping\"}\n");
    int replies = 0;
    std::string last;
    while (auto line = p.readLine(5s)) {
        ++replies;
        EXPECT_TRUE(json::parse(*line, nullptr, false).is_object()) << *line;
        last = *line;
    }
    EXPECT_EQ(replies, 401);
    EXPECT_EQ(last, R"({"id":11,"ok":true})");
    EXPECT_EQ(p.wait(), 0) << "quit ends the process with its input still open";
}

// A shut-down that hangs is ended 5 s after the engine stopped answering, never
// earlier: here the test reads nothing for six seconds after the end of input,
// so the replies wait in a full pipe and the last is written long after it.
TEST(Protocol, ForcedExitOnlyFiveSecondsAfterTheLastQueuedLineWasAnswered) {
    constexpr int kRequests = 30000; // a megabyte of replies, far more than a pipe holds
    EngineProcess p({}, CORVENA_HANG_BINARY);
    std::string burst;
    for (int i = 1; i <= kRequests; ++i)
        burst += "{\"id\":" + std::to_string(i) + (i % 2 ? ",\"cmd\":\"ping\"}\n" : ",\"cmd\":\"vstStatus\"}\n");
    p.writeRaw(burst);
    p.closeInput();
    std::this_thread::sleep_for(6s);
    int answered = 0;
    auto lastAnswer = std::chrono::steady_clock::now();
    while (auto line = p.readLine(5s)) {
        ASSERT_NE(line->find("\"id\":" + std::to_string(answered + 1) + ","), std::string::npos) << *line;
        ++answered;
        lastAnswer = std::chrono::steady_clock::now();
    }
    EXPECT_EQ(answered, kRequests);
    EXPECT_EQ(p.wait(15s), 0);
    const auto took = std::chrono::steady_clock::now() - lastAnswer;
    EXPECT_GT(took, 4s) << "the forced exit";
    EXPECT_LT(took, 9s);
}
