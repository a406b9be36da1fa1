// varen-ws and varen-stt, as real processes, against servers that try to crash them, flood their
// memory or hold them for ever.
#include <gtest/gtest.h>

#include <string>

#include "Support/TestSupport.h"
#include "Support/WebSocketRawServer.h"

using namespace std::chrono_literals;
using varen::Data;
using varen::test::ChildProcess;
using varen::test::closePayload;
using varen::test::serverFrame;
using varen::test::WebSocketRawConnection;
using varen::test::WebSocketRawServer;

namespace {

// The floods are sized so that a client that buffers them without bound passes the limit. The
// sanitizer builds run smaller floods (they are several times slower) against a limit scaled by
// what their runtimes add to a process.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#if defined(__SANITIZE_THREAD__)
constexpr long kMemoryFactor = 8;
#else
constexpr long kMemoryFactor = 3;
#endif
constexpr std::size_t kFloodScale = 10;
#else
constexpr long kMemoryFactor = 1;
constexpr std::size_t kFloodScale = 1;
#endif
constexpr long kFloodLimitKiB = 150 * 1024 * kMemoryFactor;
constexpr std::size_t kFloodMessages = 1'000'000 / kFloodScale;
constexpr std::size_t kFloodPings = 2'000'000 / kFloodScale;
// Texts over 1 MiB in messages under the stream client's 8 MiB message limit.
constexpr std::size_t kHugeText = 4u << 20;
constexpr std::size_t kHugeTexts = 40 / kFloodScale;

// Repeats one frame `count` times, in writes of about a mebibyte.
bool writeRepeated(WebSocketRawConnection& c, const Data& frame, std::size_t count) {
    Data chunk;
    for (std::size_t i = 0; i < count; ++i) {
        chunk.insert(chunk.end(), frame.begin(), frame.end());
        if (chunk.size() >= (1u << 20) || i + 1 == count) {
            if (!c.write(chunk)) return false;
            chunk.clear();
        }
    }
    return true;
}

// Closes with 1000 and waits for the client's answer, reading whatever comes before it.
void closeAndWaitForEnd(WebSocketRawConnection& c) {
    c.write(serverFrame(8, closePayload(1000)));
    while (auto frame = c.readFrame(60s)) {
        if (frame->opcode == 8) break;
    }
    c.waitForEnd(60s);
}

class HostileServer : public ::testing::Test {
  protected:
    // Runs varen-ws (stdin held open, so only the server ends the session) to its exit.
    long peakOfVarenWs(WebSocketRawServer& server, int expectedStatus) {
        ChildProcess tool({VAREN_WS_PATH, server.url()}, {{}, {}, true});
        EXPECT_EQ(tool.wait(120s), expectedStatus) << tool.standardError();
        EXPECT_TRUE(server.waitFinished(60s));
        return tool.peakResidentKiB().value_or(0);
    }
    varen::test::TemporaryHome home;
};

}  // namespace

TEST_F(HostileServer, FloodsOfMessagesAndPingsKeepVarenWsMemoryBounded) {
    WebSocketRawServer messages([](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.readRequestHead();
        c.acceptHandshake();
        writeRepeated(c, serverFrame(2, Data{}), kFloodMessages);
        closeAndWaitForEnd(c);
    });
    EXPECT_LT(peakOfVarenWs(messages, 0), kFloodLimitKiB) << "a flood of empty messages";

    // The pings' server reads nothing until it has sent them all, so pongs pile up.
    WebSocketRawServer pings([](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.shrinkReceiveBuffer(128 * 1024);
        c.readRequestHead();
        c.acceptHandshake();
        writeRepeated(c, serverFrame(9, Data{}), kFloodPings);
        closeAndWaitForEnd(c);
    });
    EXPECT_LT(peakOfVarenWs(pings, 0), kFloodLimitKiB) << "a flood of pings";
}

TEST_F(HostileServer, InputAfterAProtocolErrorIsNeverBuffered) {
    // The server reads nothing: the echoes back up, so the client's close frame cannot leave,
    // and the connection stays up while the server pours in what nobody will parse.
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.shrinkReceiveBuffer(128 * 1024);
        c.readRequestHead();
        c.acceptHandshake();
        writeRepeated(c, serverFrame(2, Data(1u << 20, 1)), 16);
        c.write(serverFrame(1, Data{'x'}, true, std::nullopt, 0x40));  // a reserved bit
        writeRepeated(c, Data(1u << 20, 0x81), 300 / kFloodScale);  // MiB
        c.closeNow();
    });
    ChildProcess tool({VAREN_WS_PATH, "--echo", server.url()});
    const auto status = tool.wait(120s);
    EXPECT_TRUE(status == 1 || status == 3) << "an unclean close or a failure, not a crash";
    EXPECT_TRUE(server.waitFinished(60s));
    EXPECT_LT(tool.peakResidentKiB().value_or(0), kFloodLimitKiB);
}

TEST_F(HostileServer, VarenWsShowsAServersTextOnATerminalWithoutItsControlCharacters) {
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.readRequestHead();
        c.acceptHandshake();
        c.write(serverFrame(1, std::string("a\x1b[2Jb\x07")));
        closeAndWaitForEnd(c);
    });
    // script(1) gives the tool a terminal as its standard output.
    ChildProcess tool({"script", "-qec",
                       std::string(VAREN_WS_PATH) + " " + server.url() + " </dev/null",
                       "/dev/null"});
    ASSERT_EQ(tool.wait(30s), 0);
    EXPECT_NE(tool.standardOutput().find("a\xEF\xBF\xBD[2Jb\xEF\xBF\xBD"), std::string::npos);
    EXPECT_EQ(tool.standardOutput().find('\x1b'), std::string::npos);
}

TEST_F(HostileServer, HugeAndDeeplyNestedResultsNeitherCrashNorSwellVarenStt) {
    const auto speech = home.path() / "speech.wav";
    ASSERT_EQ(varen::test::runCommand("flite -t 'one two' -o '" + speech.string() + "'"), 0);
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.readRequestHead();
        c.acceptHandshake();
        c.readFrame();  // the start command
        const std::string huge(kHugeText, 'a');
        for (std::size_t i = 0; i < kHugeTexts; ++i) {
            c.write(serverFrame(1, R"({"final":false,"transcript":")" + huge + "\"}"));
        }
        std::string nested = R"({"final":true,"confidence":)";
        for (int i = 0; i < 100000; ++i) nested += "{\"a\":";
        nested += "1" + std::string(100000, '}') + "}";
        c.write(serverFrame(1, nested));
        c.write(serverFrame(
            1, std::string(
                   R"({"final":true,"confidence":1e308,"hypotheses":[{"transcript":"ok"}]})")));
        closeAndWaitForEnd(c);
    });
    ChildProcess tool({VAREN_STT_TOOL, "--json", "--fast", "--input", speech.string(), "--url",
                       server.url("/ws/client/speech"), "--final-timeout", "0"},
                      {{{"HOME", home.path().string()}}, {}, false});
    // 160 MiB of text through an unoptimised build takes minutes on a loaded machine.
    ASSERT_EQ(tool.wait(280s), 0) << tool.standardError();
    EXPECT_LT(tool.peakResidentKiB().value_or(0), kFloodLimitKiB);
    const std::string out = tool.standardOutput();
    EXPECT_EQ(out.find("\"partial\""), std::string::npos) << "texts over 1 MiB are ignored";
    EXPECT_NE(out.find(R"({"confidence":3.4028234663852886e+38,"transcript":"ok"})"),
              std::string::npos)
        << out.substr(0, 2000);
}
