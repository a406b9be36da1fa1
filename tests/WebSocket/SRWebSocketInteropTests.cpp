#include "varenstt/SRWebSocket.h"

#include <gtest/gtest.h>

#include "Support/TestSupport.h"
#include "Support/WebSocketClientHarness.h"
#include "Support/WebSocketPythonPeer.h"

namespace varen {
namespace {

using test::WebSocketClient;
using test::WebSocketPythonPeer;

Data pattern(std::size_t n) {
    Data d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>((i * 131 + 7) & 0xFF);
    return d;
}

std::string textPattern(std::size_t n) {
    // Multi-byte characters too, padded with ASCII to the exact length.
    static const std::string parts[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    std::string s;
    s.reserve(n);
    for (std::size_t i = 0; s.size() + 4 <= n; ++i) s += parts[i % 4];
    s.append(n - s.size(), 'x');
    return s;
}

TEST(SRWebSocketInterop, EchoesTextAndBinaryOfEveryLengthClass) {
    WebSocketPythonPeer peer(WEBSOCKET_PEER_SCRIPT);
    ASSERT_TRUE(peer.started());
    WebSocketClient client(peer.url("/echo"));
    ASSERT_TRUE(client.openAndWait());
    ASSERT_EQ(client.delegate->opened(), 1);
    const std::vector<std::size_t> sizes{0, 125, 126, 65535, 65536, 16 * 1024 * 1024};
    for (std::size_t n : sizes) {
        client.socket->send(textPattern(n));
        client.socket->send(pattern(n));
    }
    ASSERT_TRUE(test::runMainLoopUntil(
        [&] { return client.delegate->messages().size() == 2 * sizes.size(); },
        std::chrono::seconds(240)));  // 2 x 16 MiB each way is slow under the thread sanitizer
    const auto messages = client.delegate->messages();
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        ASSERT_TRUE(std::holds_alternative<std::string>(messages[2 * i])) << sizes[i];
        EXPECT_TRUE(std::get<std::string>(messages[2 * i]) == textPattern(sizes[i])) << sizes[i];
        ASSERT_TRUE(std::holds_alternative<Data>(messages[2 * i + 1])) << sizes[i];
        EXPECT_TRUE(std::get<Data>(messages[2 * i + 1]) == pattern(sizes[i])) << sizes[i];
    }
    client.socket->close();
    ASSERT_TRUE(client.waitEnded());
    const auto closes = client.delegate->closes();
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].code, 1000);
    EXPECT_TRUE(closes[0].wasClean);
    EXPECT_TRUE(client.delegate->errors().empty());
}

TEST(SRWebSocketInterop, PingsBothWays) {
    WebSocketPythonPeer peer(WEBSOCKET_PEER_SCRIPT);
    ASSERT_TRUE(peer.started());
    WebSocketClient client(peer.url("/ping"));
    ASSERT_TRUE(client.openAndWait());
    client.socket->sendPing(Data{'h', 'i'});
    client.socket->sendPing(std::nullopt);
    ASSERT_TRUE(test::runMainLoopUntil([&] {
        return client.delegate->pongs().size() == 2 && !client.delegate->messages().empty();
    }));
    EXPECT_EQ(client.delegate->pongs()[0], (Data{'h', 'i'}));
    EXPECT_EQ(client.delegate->pongs()[1], Data{});
    // The peer's own ping was answered with its payload.
    EXPECT_EQ(test::textOf(client.delegate->messages()[0]),
              "pong:" + std::string("61726520796f75207468657265"));
    client.socket->close();
    ASSERT_TRUE(client.waitEnded());
}

TEST(SRWebSocketInterop, SubprotocolIsNegotiated) {
    WebSocketPythonPeer peer(WEBSOCKET_PEER_SCRIPT);
    ASSERT_TRUE(peer.started());
    WebSocketClient client(peer.url("/echo"), 0, std::vector<std::string>{"superchat", "chat"});
    ASSERT_TRUE(client.openAndWait());
    EXPECT_EQ(client.socket->protocol(), "chat");
    client.socket->close();
    ASSERT_TRUE(client.waitEnded());

    WebSocketClient none(peer.url("/echo"), 0, std::vector<std::string>{"other"});
    ASSERT_TRUE(none.openAndWait());
    EXPECT_EQ(none.socket->protocol(), std::nullopt);
    none.socket->close();
    ASSERT_TRUE(none.waitEnded());
}

TEST(SRWebSocketInterop, ServerCloseWithCodeAndReason) {
    WebSocketPythonPeer peer(WEBSOCKET_PEER_SCRIPT);
    ASSERT_TRUE(peer.started());
    WebSocketClient client(peer.url("/close"));
    ASSERT_TRUE(client.openAndWait());
    ASSERT_TRUE(client.waitEnded());
    ASSERT_EQ(client.delegate->messages().size(), 1u);
    EXPECT_EQ(test::textOf(client.delegate->messages()[0]), "hello");
    const auto closes = client.delegate->closes();
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].code, 4001);
    EXPECT_EQ(closes[0].reason, "server says bye");
    EXPECT_TRUE(closes[0].wasClean);
    // A stream end that was already queued may still move it on to closed.
    EXPECT_GE(client.socket->readyState(), SR_CLOSING);
}

}  // namespace
}  // namespace varen
