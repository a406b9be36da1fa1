// The built server against clients that try to stop it, exhaust it or forge its log.
#include "ServerTestSupport.h"

#include <cstdlib>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

namespace varen::server::test {
namespace {

using nlohmann::json;
using std::chrono::seconds;

constexpr std::uint64_t kMiB = 1024 * 1024;

// Sanitizers add memory of their own (shadow memory, red zones): memory limits grow with them.
// They also slow the server's exit (freeing the models, the leak check at exit), which a loaded
// machine stretches further: its deadline grows with them too.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uint64_t kMemoryScalePercent = 200;
constexpr int kExitScale = 3;
#elif defined(__SANITIZE_THREAD__)
constexpr std::uint64_t kMemoryScalePercent = 250;
constexpr int kExitScale = 3;
#else
constexpr std::uint64_t kMemoryScalePercent = 100;
constexpr int kExitScale = 1;
#endif

constexpr std::uint64_t mebibytes(std::uint64_t count) {
    return count * kMiB * kMemoryScalePercent / 100;
}
constexpr const char* kLargeModel = "en-US_8k";

// Under ASan, freed memory waits in a quarantine of up to 256 MiB; a small one keeps the
// resident set a measure of what the server holds.
std::vector<std::string> smallQuarantine() {
    const char* options = std::getenv("ASAN_OPTIONS");
    return {"ASAN_OPTIONS=" + std::string(options ? options : "") + ":quarantine_size_mb=8"};
}

std::string errorAfterStart(std::uint16_t port, const std::string& extra) {
    TestClient client;
    EXPECT_TRUE(client.connect(port, "k", kDigitsModel));
    client.sendStart(extra);
    json answer = parse(client.receive());
    EXPECT_FALSE(client.receive());  // and the connection closes
    return answer.value("status", "(none)") + ": " + answer.value("error", "(none)");
}

// The best transcript of the digits. Decoders running at once share the recogniser's dither
// generator, which may add an "oh" on the leading silence: only the digits spoken are checked.
std::string recognise(TestClient& client) {
    client.sendAll(digitPackets());
    client.sendStop();
    auto finals = finalsOf(client.receiveUntilClosed());
    return finals.size() == 1 ? finals[0]["hypotheses"][0]["transcript"] : "(no final)";
}

TEST(ServerUnderAttack, RefusesStartOptionsOutsideTheirRangesAndKeepsItsWorkers) {
    ServerProcess server({"--workers", "2"});
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(errorAfterStart(server.port(), R"({"traceback-period":1e300})"),
                  "error: Invalid traceback-period: expected a number of seconds from 0 to 60");
    }
    EXPECT_EQ(errorAfterStart(server.port(), R"({"timeout":1e300})"),
              "error: Invalid timeout: expected a number of seconds from 0 to 86400");
    EXPECT_EQ(errorAfterStart(server.port(), R"({"min-silence":1e9})"),
              "error: Invalid min-silence: expected a number of seconds from 0 to 600");
    EXPECT_EQ(errorAfterStart(server.port(), R"({"n-best":1e300})"),
              "error: Invalid n-best: expected an integer");

    TestClient first, second;
    startSession(first, server.port(), R"({"traceback-period":60})");
    startSession(second, server.port(), R"({"traceback-period":0})");
    for (TestClient* client : {&first, &second}) {
        std::string transcript = recognise(*client);
        EXPECT_TRUE(transcript.ends_with(kDigits)) << transcript;
    }
}

TEST(ServerUnderAttack, SigtermEndsTheServerWithinTwoSecondsWhileItsWorkersAreBusy) {
    ServerProcess server({"--workers", "2"});
    TestClient floods[2];
    for (auto& flood : floods) {
        startSession(flood, server.port(), "", kLargeModel);
        // Twelve seconds of audio: ten wait in the server, the rest in the sockets.
        EXPECT_EQ(flood.sendWithin(digitPackets(), 600, seconds(10)), 600u);
    }
    EXPECT_EQ(server.stopWithin(seconds(2) * kExitScale), 0);
}

TEST(ServerUnderAttack, AFloodOfAudioIsHeldBackAndLargePacketsAreRefused) {
    ServerProcess server({"--workers", "1"}, smallQuarantine());
    TestClient flood;
    startSession(flood, server.port(), R"({"connection-mode":"keep-alive"})");
    std::uint64_t before = server.residentBytes();
    // Eight frames a packet: the most the decoder takes from one.
    auto packets = speexPackets(speech(kDigits), 8);
    EXPECT_GT(flood.sendWithin(packets, 1000000, seconds(4)), 5000u);
    // Some 10 MiB a second without back-pressure.
    EXPECT_LT(server.peakResidentBytes() - before, mebibytes(24));

    // Held back, not dropped: thirty seconds of audio all reach the decoder.
    TestClient steady;
    startSession(steady, server.port(), R"({"do-endpointing":true,"min-silence":1.0})");
    auto utterance = speexPackets(speech(kDigits, "kal", 0.3, 1.5));
    std::size_t count = utterance.size() * 12;
    EXPECT_EQ(steady.sendWithin(utterance, count, seconds(60)), count);
    EXPECT_EQ(finalsOf(steady.receiveUntilClosed()).size(), 1u);

    TestClient large;
    startSession(large, server.port());
    large.sendBinary(Packet(1024, 0));
    large.sendBinary(Packet(1025, 0));
    EXPECT_EQ(parse(large.receive()),
              json({{"status", "error"}, {"error", "Audio packet of 1025 bytes, more than 1024"}}));
    EXPECT_FALSE(large.receive());
    EXPECT_EQ(large.closeCode(), 1008);
}

TEST(ServerUnderAttack, TheServersIdleTimeoutEndsSessionsWhateverTheClientAsks) {
    ServerProcess server({"--idle-timeout", "1", "--max-sessions", "2"});
    TestClient never, aDay;
    startSession(never, server.port(), R"({"timeout":0})");
    startSession(aDay, server.port(), R"({"timeout":86400})");
    auto start = std::chrono::steady_clock::now();
    for (TestClient* client : {&never, &aDay}) {
        EXPECT_EQ(parse(client->receive(seconds(10))), json({{"status", "connection timeout"}}));
        EXPECT_FALSE(client->receive());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(5));
}

TEST(ServerUnderAttack, SessionsShareTheLanguageModelAndStopAtMaxMemory) {
    std::uint64_t firstSession = 0, perSession = 0;
    {
        ServerProcess server({"--workers", "1"}, smallQuarantine());
        std::vector<TestClient> sessions(6);
        startSession(sessions[0], server.port(), "", kLargeModel);
        firstSession = server.residentBytes();
        for (std::size_t i = 1; i < sessions.size(); ++i) {
            startSession(sessions[i], server.port(), "", kLargeModel);
        }
        perSession = (server.peakResidentBytes() - firstSession) / (sessions.size() - 1);
        // A decoder of its own with its own copy of the language model takes some 90 MiB.
        EXPECT_LT(perSession, mebibytes(76));
    }

    std::uint64_t limit = firstSession + 5 * perSession / 2;
    ServerProcess server({"--workers", "1", "--max-memory", std::to_string(limit)},
                         smallQuarantine());
    std::vector<TestClient> sessions(8);
    std::size_t admitted = 0;
    for (auto& client : sessions) {
        ASSERT_TRUE(client.connect(server.port(), "k", kLargeModel));
        client.sendStart();
        json answer = parse(client.receive());
        if (answer == json({{"status", "busy"}})) break;
        ASSERT_EQ(answer, json({{"status", "ready"}}));
        ++admitted;
    }
    EXPECT_GE(admitted, 1u);
    EXPECT_LT(admitted, sessions.size());
    EXPECT_LT(server.peakResidentBytes(), limit + perSession);
}

TEST(ServerUnderAttack, ControlCharactersFromClientsCannotForgeLogLines) {
    ServerProcess server;
    TestClient forger;
    ASSERT_TRUE(forger.connect(server.port(),
                               "/ws/client/speech?key=k&model=x%0Asession%209%20final%20%22x%22"));
    forger.receive();
    TestClient commander;
    ASSERT_TRUE(commander.connect(server.port(), "k", kDigitsModel));
    commander.sendText("{\"decoding\":\"x\\nsession 8 final \\u001b[2J\\u0085\"}");
    commander.receive();
    ASSERT_TRUE(server.waitForLog("session 2 error", seconds(5)));

    std::istringstream lines(server.log());
    for (std::string line; std::getline(lines, line);) {
        EXPECT_FALSE(line.starts_with("session 9") || line.starts_with("session 8")) << line;
    }
    EXPECT_NE(server.log().find(R"(model="x\nsession 9 final \"x\"": refused, unknown model)"),
              std::string::npos);
    EXPECT_NE(server.log().find(R"(command x\nsession 8 final \x1b[2J\u0085)"), std::string::npos);
}

}  // namespace
}  // namespace varen::server::test
