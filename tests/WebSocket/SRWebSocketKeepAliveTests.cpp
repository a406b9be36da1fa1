// Keep-alive against a scripted server that cuts connections idle for 1.5 s.

#include <gtest/gtest.h>

#include "Support/TestSupport.h"
#include "Support/WebSocketClientHarness.h"
#include "Support/WebSocketRawServer.h"

namespace varen::test {
namespace {

constexpr auto kIdleCutOff = std::chrono::milliseconds(1500);
constexpr auto kPingInterval = std::chrono::milliseconds(200);
constexpr int kPingsToSurvive = 10;  // 2 s of silence from the client's side

// Reads frames until the client has been silent for the cut-off; pings are answered when
// `answerPings`. Notes "ping" for each ping seen and "cut" when it cut the connection.
WebSocketRawServer idleCuttingServer(bool answerPings) {
    return WebSocketRawServer([answerPings](WebSocketRawConnection& c, WebSocketRawServer& s) {
        c.readRequestHead();
        c.acceptHandshake();
        for (int pings = 0; pings < kPingsToSurvive;) {
            const auto frame = c.readFrame(kIdleCutOff);
            if (!frame) {
                s.note("cut");
                return c.closeNow();
            }
            if (frame->opcode != 9) continue;
            s.note("ping");
            ++pings;
            if (answerPings) c.write(serverFrame(10, frame->payload));
        }
        c.write(serverFrame(1, "still here"));
        c.answerCloseAndWaitForEnd();
    });
}

TEST(SRWebSocketKeepAlive, PingsKeepASilentConnectionPastTheServersIdleCutOff) {
    auto server = idleCuttingServer(true);
    WebSocketClient client(server.url());
    client.socket->setPingInterval(kPingInterval);
    ASSERT_TRUE(client.openAndWait());
    ASSERT_TRUE(runMainLoopUntil(
        [&] { return !client.delegate->messages().empty() || client.delegate->ended(); }));
    EXPECT_TRUE(client.delegate->errors().empty());
    EXPECT_TRUE(client.delegate->closes().empty());
    client.socket->close();
    EXPECT_TRUE(server.waitFinished());
    EXPECT_EQ(server.notes(), std::vector<std::string>(kPingsToSurvive, "ping"));
}

TEST(SRWebSocketKeepAlive, AServerThatStopsAnsweringFailsAfterOneUnansweredPing) {
    auto server = idleCuttingServer(false);
    WebSocketClient client(server.url());
    client.socket->setPingInterval(kPingInterval);
    ASSERT_TRUE(client.openAndWait());
    ASSERT_TRUE(client.waitEnded());
    ASSERT_EQ(client.delegate->errors().size(), 1u);
    const Error error = client.delegate->errors().front();
    EXPECT_EQ(error.domain, SRWebSocketErrorDomain);
    EXPECT_EQ(error.code, SRWebSocketErrorNoPong);
    EXPECT_EQ(error.localizedDescription(), "No pong from the server");
    // Failing before a second ping is what bounds detection by twice the interval.
    EXPECT_TRUE(server.waitFinished());
    EXPECT_EQ(server.notes(), (std::vector<std::string>{"ping", "cut"}));
}

TEST(SRWebSocketKeepAlive, NoPingsByDefault) {
    auto server = idleCuttingServer(true);
    WebSocketClient client(server.url());
    ASSERT_TRUE(client.openAndWait());
    EXPECT_TRUE(server.waitFinished());
    EXPECT_EQ(server.notes(), std::vector<std::string>{"cut"});
}

}  // namespace
}  // namespace varen::test
