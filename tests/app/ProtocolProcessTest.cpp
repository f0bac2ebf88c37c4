// The control protocol through the real process: exact bytes on the wire.
#include "support/EngineProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <random>
#include <thread>
#include <utility>
#include <vector>

using corvena::test::EngineProcess;
using namespace std::chrono_literals;

namespace {

const char* readyLine = R"({"event":"ready","version":"0.1.0"})";

void expectReady(EngineProcess& p) {
    auto line = p.readLine();
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(*line, readyLine);
}

} // namespace

TEST(Protocol, ReadyFirstAndNothingElseUntilAsked) {
    EngineProcess p;
    expectReady(p);
    EXPECT_FALSE(p.readLine(300ms).has_value()) << "no stream, no request: silence";
    p.closeInput();
    EXPECT_EQ(p.wait(), 0);
}

TEST(Protocol, FramingLineEndsAndEmptyLines) {
    EngineProcess p;
    expectReady(p);
    p.writeRaw("{\"id\":1,\"cmd\":\"ping\"}\r\n\n\r\n{\"id\":1,\"cmd\":\"ping\"}\n");
    EXPECT_EQ(p.readLine(), R"({"id":1,"ok":true,"pong":true})");
    EXPECT_EQ(p.readLine(), R"({"id":1,"ok":true,"pong":true})");
    EXPECT_FALSE(p.readLine(200ms).has_value()) << "empty lines get no reply";
    // A last line without a line feed is still answered at end of input.
    p.writeRaw(R"({"id":2,"cmd":"ping"})");
    p.closeInput();
    EXPECT_EQ(p.readLine(), R"({"id":2,"ok":true,"pong":true})");
    EXPECT_EQ(p.wait(), 0);
}

TEST(Protocol, ExactRepliesWithNothingOpenOrLoaded) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({})", R"({"error":"unknown command: ","id":null,"ok":false})"},
        {R"({"cmd":"ping"})", R"({"id":null,"ok":true,"pong":true})"},
        {R"({"id":"a","cmd":"ping"})", R"({"id":"a","ok":true,"pong":true})"},
        {R"({"id":{"z":[1,{"y":2,"b":true}],"a":null},"cmd":"ping"})",
         R"({"id":{"a":null,"z":[1,{"b":true,"y":2}]},"ok":true,"pong":true})"},
        {R"({"id":[1.5,"x",false],"cmd":"ping"})", R"({"id":[1.5,"x",false],"ok":true,"pong":true})"},
        {R"({"id":true,"cmd":"ping"})", R"({"id":true,"ok":true,"pong":true})"},
        {R"({"id":-7,"cmd":"ping"})", R"({"id":-7,"ok":true,"pong":true})"},
        {R"({"id":3,"cmd":"PING"})", R"({"error":"unknown command: PING","id":3,"ok":false})"},
        {R"({"id":4,"cmd":"stop"})",
         R"({"diPath":"","error":"not recording","frames":0,"id":4,"ok":false,"seconds":0.0,"wetPath":""})"},
        {R"({"id":5,"cmd":"status"})",
         R"({"blockSize":0,"cabinetPath":"","captureLatencyMs":0.0,"capturePath":"","frames":0,"id":5,"ok":true,"open":false,"recording":false,"sampleRate":0,"tuner":false})"},
        {R"({"id":6,"cmd":"vstStatus"})",
         R"({"available":true,"editorOpen":false,"id":6,"loaded":false,"name":"","ok":true,"path":""})"},
        {R"({"id":7,"cmd":"record"})", R"({"error":"no audio stream is open","id":7,"ok":false})"},
        {R"({"id":7,"cmd":"record","diPath":"/tmp/x.wav"})", R"({"error":"no audio stream is open","id":7,"ok":false})"},
        {R"({"id":8,"cmd":"inputChannel","channel":9})", R"({"id":8,"inputChannel":9,"ok":true})"},
        {R"({"id":8,"cmd":"inputChannel"})", R"({"id":8,"inputChannel":0,"ok":true})"},
        {R"({"id":9,"cmd":"open","api":"NoneSuch"})", R"({"error":"unknown audio API: NoneSuch","id":9,"ok":false})"},
        {R"({"id":10,"cmd":"vstEditor","open":false})", R"({"id":10,"ok":true})"},
        {R"({"id":10,"cmd":"vstEditor"})", R"({"error":"no plugin loaded","id":10,"ok":false})"},
        {R"({"id":11,"cmd":"close"})", R"({"id":11,"ok":true})"},
        {R"({"id":12,"cmd":"vstUnload"})", R"({"id":12,"ok":true})"},
        {R"({"id":13,"cmd":"vstEnable","enabled":false})", R"({"id":13,"ok":true})"},
        {R"({"id":14,"cmd":"metronome","bpm":100})", R"({"id":14,"ok":true})"},
        {R"({"id":15,"cmd":"tone"})", R"({"id":15,"ok":true})"},
        {R"({"id":16,"cmd":"tone","enabled":false})", R"({"id":16,"ok":true})"},
        {R"({"id":16,"cmd":"tuner","reference":1e9,"mute":true})", R"({"id":16,"ok":true})"},
        {R"({"id":16,"cmd":"status"})",
         R"({"blockSize":0,"cabinetPath":"","captureLatencyMs":0.0,"capturePath":"","frames":0,"id":16,"ok":true,"open":false,"recording":false,"sampleRate":0,"tuner":true})"},
        {R"({"id":17,"cmd":"monitor","level":5})", R"({"id":17,"ok":true})"},
        {R"({"id":18,"cmd":"amp","model":"clean","gain":1e39})", R"({"id":18,"ok":true})"},
        {R"({"id":19,"cmd":"vstLoad","path":"/nonexistent/Nothing.vst3"})", ""},
    };
    EngineProcess p;
    expectReady(p);
    for (const auto& [request, expected] : cases) {
        const std::string reply = p.request(request);
        if (expected.empty()) {
            // The module loader's own wording; only the envelope is fixed.
            auto j = nlohmann::json::parse(reply);
            EXPECT_EQ(j["ok"], false) << request;
            EXPECT_FALSE(j["error"].get<std::string>().empty()) << request;
        } else {
            EXPECT_EQ(reply, expected) << request;
        }
    }
    const auto devices = nlohmann::json::parse(p.request(R"({"id":20,"cmd":"listDevices"})"));
    EXPECT_TRUE(devices["ok"].get<bool>());
    EXPECT_TRUE(devices["devices"].is_array());
}

TEST(Protocol, MalformedRequestsCarryNoId) {
    EngineProcess p;
    expectReady(p);
    for (const char* bad : {"hello", R"({"id":7,"cmd":"ping"} x)", R"({"id":7,"cmd":"ping"}{})", "{\"id\":1,\"cmd\":\"p\xffng\"}",
                            R"({"id":1,/*c*/"cmd":"ping"})"}) {
        auto j = nlohmann::json::parse(p.request(bad));
        ASSERT_EQ(j.size(), 2u) << bad;
        EXPECT_EQ(j["ok"], false);
        EXPECT_EQ(j["error"].get<std::string>().rfind("malformed request: ", 0), 0u) << bad;
    }
}

TEST(Protocol, WrongTypesAreAnsweredAndChangeNothing) {
    EngineProcess p;
    expectReady(p);
    auto check = [&](const std::string& request, const nlohmann::json& id) {
        auto j = nlohmann::json::parse(p.request(request));
        EXPECT_EQ(j["ok"], false) << request;
        EXPECT_EQ(j["id"], id) << request;
        EXPECT_NE(j["error"].get<std::string>().find("type"), std::string::npos) << request;
    };
    check(R"({"id":1,"cmd":5})", 1);
    check(R"({"id":2,"cmd":"amp","enabled":"yes"})", 2);
    check(R"({"id":3,"cmd":"amp","gain":"loud"})", 3);
    check(R"({"id":4,"cmd":"metronome","enabled":null})", 4);
    check(R"({"id":5,"cmd":"vstLoad","path":{"a":1}})", 5);
    check(R"([1,2,3])", nullptr);
    check(R"("ping")", nullptr);
    check(R"(42)", nullptr);
    // The mistyped inputChannel request must not have moved the channel.
    check(R"({"id":6,"cmd":"inputChannel","channel":"3"})", 6);
    EXPECT_EQ(p.request(R"({"id":7,"cmd":"inputChannel","channel":2})"), R"({"id":7,"inputChannel":2,"ok":true})");
}

TEST(Protocol, QuitBurstAnswersUpToQuitOnly) {
    EngineProcess p;
    expectReady(p);
    p.writeRaw("{\"id\":1,\"cmd\":\"ping\"}\n{\"id\":11,\"cmd\":\"quit\"}\n{\"id\":2,\"cmd\":\"ping\"}\n");
    EXPECT_EQ(p.readLine(), R"({"id":1,"ok":true,"pong":true})");
    EXPECT_EQ(p.readLine(), R"({"id":11,"ok":true})");
    EXPECT_FALSE(p.readLine(500ms).has_value());
    EXPECT_EQ(p.wait(), 0) << "quit ends the process even with stdin still open";
}

TEST(Protocol, EndOfInputAnswersEverythingThenExits) {
    EngineProcess p;
    expectReady(p);
    p.writeRaw("{\"id\":1,\"cmd\":\"ping\"}\n{\"id\":2,\"cmd\":\"status\"}\n{\"id\":3,\"cmd\":\"ping\"}\n");
    p.closeInput();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.readLine(), R"({"id":1,"ok":true,"pong":true})");
    EXPECT_TRUE(p.readLine().has_value());
    EXPECT_EQ(p.readLine(), R"({"id":3,"ok":true,"pong":true})");
    EXPECT_EQ(p.wait(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "an orderly shut-down does not wait for the watchdog";
}

// The forced exit guards the shut-down, not the queue: a million lines read
// before the end of input are all answered, in order, however long that takes.
TEST(Protocol, AMillionRequestsThenEndOfInputAreAnsweredLineForLine) {
    constexpr int kRequests = 1000000;
    EngineProcess p;
    expectReady(p);
    // All of it first: the engine's reader takes it in while replies wait.
    std::string burst;
    for (int i = 1; i <= kRequests; ++i)
        burst += "{\"id\":" + std::to_string(i) + (i % 2 ? ",\"cmd\":\"ping\"}\n" : ",\"cmd\":\"vstStatus\"}\n");
    p.writeRaw(burst);
    p.closeInput();
    int answered = 0;
    while (auto line = p.readLine(20s)) {
        const std::string id = R"("id":)" + std::to_string(answered + 1) + ",";
        if (line->find(id) == std::string::npos || line->find(R"("ok":true)") == std::string::npos) {
            ADD_FAILURE() << "reply " << answered + 1 << ": " << *line;
            break;
        }
        ++answered;
    }
    EXPECT_EQ(answered, kRequests);
    EXPECT_EQ(p.wait(), 0);
}

TEST(Protocol, HangingShutDownIsEndedFiveSecondsAfterEndOfInput) {
    EngineProcess p(CORVENA_HANG_BINARY);
    expectReady(p);
    EXPECT_EQ(p.request(R"({"id":1,"cmd":"ping"})"), R"({"id":1,"ok":true,"pong":true})");
    const auto start = std::chrono::steady_clock::now();
    p.closeInput();
    EXPECT_EQ(p.wait(15s), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GT(took, 4500ms);
    EXPECT_LT(took, 8s);
}

TEST(Protocol, FloodOfBadLinesGetsExactlyOneReplyEach) {
    std::mt19937 rng(1234);
    const std::vector<std::string> pieces = {
        R"({"cmd":"amp","gain":)", R"({"cmd":)", "\"", "null", "[", "]", "{", "}", "1e999", "-0", "\xff", "\xc3",
        R"("monitor")", R"("enabled":)", "true", ",", ":", R"({"id":{},"cmd":"tone","level":"x"})",
        R"({"cmd":"metronome","bpm":[]})", R"({"cmd":"inputChannel","channel":-1.5})", "\\u0000", "\"\\ud800\"",
        R"({"cmd":"vstEnable","enabled":0})", R"({"cmd":"amp","model":7})", "   ", "\t"};
    std::string burst;
    int expected = 0;
    for (int i = 0; i < 400; ++i) {
        std::string line;
        const int parts = 1 + static_cast<int>(rng() % 6);
        for (int k = 0; k < parts; ++k) line += pieces[rng() % pieces.size()];
        if (line.find('\n') != std::string::npos) continue;
        std::string stripped = line;
        if (!stripped.empty() && stripped.back() == '\r') stripped.pop_back();
        if (stripped.empty()) continue;
        burst += line + "\n";
        ++expected;
    }
    EngineProcess p;
    expectReady(p);
    p.writeRaw(burst);
    p.closeInput();
    int replies = 0;
    while (auto line = p.readLine(5s)) {
        ++replies;
        EXPECT_NO_THROW((void)nlohmann::json::parse(*line)) << "every reply is valid JSON: " << *line;
    }
    EXPECT_EQ(replies, expected);
    EXPECT_EQ(p.wait(), 0);
}

TEST(Protocol, AReaderThatGoesAwayEndsTheProcessInOrder) {
    EngineProcess p;
    expectReady(p);
    p.closeOutput();
    for (int i = 0; i < 20; ++i) p.send(R"({"id":1,"cmd":"ping"})");
    EXPECT_EQ(p.wait(10s), 0) << "no SIGPIPE death; the loop winds down and exits 0";
}

TEST(Protocol, ExitWithAThirdPartyPlugInStillLoadedIsOrderly) {
    // The module's own statics go away at exit; the engine must let go of it first.
    for (const char* ending : {"quit", "eof"}) {
        EngineProcess p;
        expectReady(p);
        auto j = nlohmann::json::parse(p.request(R"({"id":1,"cmd":"vstLoad","path":"/usr/lib/vst3/ZamComp.vst3"})"));
        ASSERT_EQ(j["ok"], true) << j.dump();
        if (std::string(ending) == "quit") EXPECT_EQ(p.request(R"({"id":2,"cmd":"quit"})"), R"({"id":2,"ok":true})");
        p.closeInput();
        EXPECT_EQ(p.wait(), 0) << ending << ": " << p.stderrText();
    }
}
