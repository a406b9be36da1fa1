#include "varenstt/SRWebSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <optional>
#include <set>
#include <thread>

#include "Support/TestSupport.h"
#include "Support/WebSocketClientHarness.h"
#include "Support/WebSocketRawServer.h"
#include "WebSocket/SRHandshakeHelpers.h"
#include "WebSocket/SRWebSocketImpl.h"
#include "WebSocket/SRWebSocketTestAccess.h"

namespace varen {

namespace {

using test::bytes;
using test::closePayload;
using test::concat;
using test::serverFrame;
using test::WebSocketClient;
using test::WebSocketRawConnection;
using test::WebSocketRawServer;

// After the handshake: sends `frames`, expects the client's close frame and answers it.
WebSocketRawServer::Script expectCloseAfter(Data frames, bool bytewise = false) {
    return [frames, bytewise](WebSocketRawConnection& c, WebSocketRawServer& s) {
        c.readRequestHead();
        c.acceptHandshake();
        if (bytewise)
            c.writeBytewise(frames);
        else
            c.write(frames);
        for (;;) {
            auto frame = c.readFrame();
            if (!frame) {
                s.fail("no close frame");
                return;
            }
            if (frame->opcode == 8) {
                s.note(std::to_string((frame->payload.at(0) << 8) | frame->payload.at(1)) + " " +
                       std::string(frame->payload.begin() + 2, frame->payload.end()));
                c.write(serverFrame(8, closePayload(1000)));
                c.waitForEnd();
                return;
            }
            s.note("frame " + std::to_string(frame->opcode) + " " + frame->text());
        }
    };
}

std::vector<std::string> runAgainst(WebSocketRawServer& server,
                                    std::vector<std::string>* messages = nullptr) {
    WebSocketClient client(server.url());
    EXPECT_TRUE(client.openAndWait());
    EXPECT_TRUE(client.waitEnded());
    EXPECT_TRUE(server.waitFinished());
    EXPECT_TRUE(server.failures().empty()) << server.failures().front();
    if (messages)
        for (const auto& m : client.delegate->messages()) messages->push_back(test::textOf(m));
    return server.notes();
}

TEST(SRWebSocketHandshake, SendsUpgradeRequestAndOpens) {
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer& s) {
        const std::string head = c.readRequestHead();
        s.note(head.substr(0, head.find("\r\n")));
        for (const char* name : {"Host", "Upgrade", "Connection", "Sec-WebSocket-Version", "Origin",
                                 "Sec-WebSocket-Protocol", "Authorization", "X-Extra"})
            s.note(std::string(name) + "=" + c.requestField(name).value_or("<none>"));
        s.note("key=" + c.requestField("Sec-WebSocket-Key").value_or(""));
        // The first frame arrives in the same write as the end of the answer.
        c.write(
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: " +
            SRAcceptKeyForKey(c.requestField("Sec-WebSocket-Key").value_or("")) + "\r\n\r\n" +
            std::string("\x81\x02hi", 4));
        auto frame = c.readFrame();
        if (frame) s.note("got " + frame->text());
        c.write(serverFrame(8, closePayload(1000)));
        c.waitForEnd();
    });
    const std::string port = std::to_string(server.port());
    auto url = "ws://user:secret@127.0.0.1:" + port + "/chat?room=1";
    WebSocketClient client(url, 0, std::vector<std::string>{"chat", "superchat"});
    client.request->setValueForHTTPHeaderField("yes", "X-Extra");
    ASSERT_TRUE(client.openAndWait());
    EXPECT_EQ(client.delegate->stateAtOpen(), SR_OPEN);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return !client.delegate->messages().empty(); }));
    EXPECT_EQ(test::textOf(client.delegate->messages()[0]), "hi");
    client.socket->send(std::string("yo"));
    ASSERT_TRUE(client.waitEnded());
    ASSERT_TRUE(server.waitFinished());
    const auto notes = server.notes();
    ASSERT_EQ(notes.size(), 11u);
    EXPECT_EQ(notes[0], "GET /chat?room=1 HTTP/1.1");
    EXPECT_EQ(notes[1], "Host=127.0.0.1:" + port);
    EXPECT_EQ(notes[2], "Upgrade=websocket");
    EXPECT_EQ(notes[3], "Connection=Upgrade");
    EXPECT_EQ(notes[4], "Sec-WebSocket-Version=13");
    EXPECT_EQ(notes[5], "Origin=http://127.0.0.1:" + port);
    EXPECT_EQ(notes[6], "Sec-WebSocket-Protocol=chat, superchat");
    EXPECT_EQ(notes[7], "Authorization=Basic dXNlcjpzZWNyZXQ=");
    EXPECT_EQ(notes[8], "X-Extra=yes");
    EXPECT_EQ(notes[9].size(), 4u + 24u);
    EXPECT_EQ(notes[9].substr(26), "==");
    EXPECT_EQ(notes[10], "got yo");
    const auto closes = client.delegate->closes();
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].code, 1000);
    EXPECT_TRUE(closes[0].wasClean);
}

struct HandshakeCase {
    std::string answer;  // "%ACCEPT%" is replaced by the right accept value
    std::optional<std::vector<std::string>> protocols;
    std::int64_t code;  // 0: opens
    std::string message;
};

void runHandshakeCase(const HandshakeCase& hc) {
    WebSocketRawServer server([hc](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.readRequestHead();
        std::string answer = hc.answer;
        const auto at = answer.find("%ACCEPT%");
        std::string accept = SRAcceptKeyForKey(c.requestField("Sec-WebSocket-Key").value_or(""));
        if (at != std::string::npos) answer.replace(at, 8, accept);
        const auto lowerAt = answer.find("%LOWERACCEPT%");
        if (lowerAt != std::string::npos) {
            for (auto& ch : accept)
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            answer.replace(lowerAt, 13, accept);
        }
        c.write(answer);
        c.answerCloseAndWaitForEnd(std::chrono::seconds(5));
    });
    WebSocketClient client(server.url(), 0, hc.protocols);
    ASSERT_TRUE(client.openAndWait());
    if (hc.code == 0) {
        EXPECT_EQ(client.delegate->opened(), 1);
        EXPECT_TRUE(client.delegate->errors().empty());
        client.socket->close();
        EXPECT_TRUE(client.waitEnded());
        return;
    }
    ASSERT_TRUE(client.waitEnded());
    const auto errors = client.delegate->errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].domain, "SRWebSocketErrorDomain");
    EXPECT_EQ(errors[0].code, hc.code);
    EXPECT_EQ(errors[0].localizedDescription(), hc.message);
    EXPECT_EQ(client.delegate->opened(), 0);
    EXPECT_TRUE(client.delegate->closes().empty());
    EXPECT_TRUE(test::runMainLoopUntil([&] { return client.socket->readyState() == SR_CLOSED; }));
}

const std::string kUpgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\n";

TEST(SRWebSocketHandshake, BadStatusFailsWith2132AndCarriesTheStatus) {
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.readRequestHead();
        c.write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        c.waitForEnd(std::chrono::seconds(5));
    });
    WebSocketClient client(server.url());
    ASSERT_TRUE(client.openAndWait());
    const auto errors = client.delegate->errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].domain, "SRWebSocketErrorDomain");
    EXPECT_EQ(errors[0].code, 2132);
    EXPECT_EQ(errors[0].localizedDescription(), "received bad response code from server 404");
    EXPECT_EQ(errors[0].userInfo.at("HTTPResponseStatusCode"), 404);
}

TEST(SRWebSocketHandshake, AcceptValueMustMatchExactly) {
    runHandshakeCase({"HTTP/1.1 101 OK\r\n" + kUpgrade + "Sec-WebSocket-Accept: %ACCEPT%\r\n\r\n",
                      std::nullopt, 0, ""});
    runHandshakeCase(
        {"HTTP/1.1 200 OK\r\nSec-WebSocket-Accept: %ACCEPT%\r\n\r\n", std::nullopt, 0, ""});
    runHandshakeCase(
        {"HTTP/1.1 101 OK\r\n" + kUpgrade + "Sec-WebSocket-Accept: %LOWERACCEPT%\r\n\r\n",
         std::nullopt, 2133, "Invalid Sec-WebSocket-Accept response"});
    runHandshakeCase({"HTTP/1.1 101 OK\r\n" + kUpgrade + "\r\n", std::nullopt, 2133,
                      "Invalid Sec-WebSocket-Accept response"});
    runHandshakeCase({"HTTP/1.1 101 OK\r\n" + kUpgrade +
                          "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n",
                      std::nullopt, 2133, "Invalid Sec-WebSocket-Accept response"});
}

TEST(SRWebSocketHandshake, EndlessHeadFailsInsteadOfGrowing) {
    runHandshakeCase({"HTTP/1.1 101 OK\r\nX-Filler: " + std::string(70000, 'a'), std::nullopt, 2133,
                      "Invalid Sec-WebSocket-Accept response"});
}

TEST(SRWebSocketHandshake, SubprotocolMustBeOneThatWasRequested) {
    const std::string head =
        "HTTP/1.1 101 OK\r\n" + kUpgrade + "Sec-WebSocket-Accept: %ACCEPT%\r\n";
    runHandshakeCase(
        {head + "Sec-WebSocket-Protocol: b\r\n\r\n", std::vector<std::string>{"a", "b"}, 0, ""});
    runHandshakeCase({head + "\r\n", std::vector<std::string>{"a", "b"}, 0, ""});
    runHandshakeCase({head + "Sec-WebSocket-Protocol: c\r\n\r\n",
                      std::vector<std::string>{"a", "b"}, 2133,
                      "Server specified Sec-WebSocket-Protocol that wasn't requested"});
    runHandshakeCase({head + "Sec-WebSocket-Protocol: a\r\n\r\n", std::nullopt, 2133,
                      "Server specified Sec-WebSocket-Protocol that wasn't requested"});
}

TEST(SRWebSocketHandshake, SelectedSubprotocolIsVisibleAtOpen) {
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.readRequestHead();
        c.acceptHandshake("Sec-WebSocket-Protocol: b\r\n");
        c.answerCloseAndWaitForEnd(std::chrono::seconds(5));
    });
    WebSocketClient client(server.url(), 0, std::vector<std::string>{"a", "b"});
    ASSERT_TRUE(client.openAndWait());
    EXPECT_EQ(client.delegate->protocolAtOpen(), "b");
    EXPECT_EQ(client.socket->protocol(), "b");
    EXPECT_EQ(client.socket->receivedHTTPHeaders()->statusCode, 101);
    client.socket->close();
    EXPECT_TRUE(client.waitEnded());
}

TEST(SRWebSocketHandshake, OpenTimeoutFailsWith504OnlyWhileConnecting) {
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.readRequestHead();  // and never answer
        c.answerCloseAndWaitForEnd(std::chrono::seconds(5));
    });
    WebSocketClient client(server.url(), 0.3);
    client.socket->open();
    ASSERT_TRUE(client.waitEnded());
    const auto errors = client.delegate->errors();
    ASSERT_EQ(errors.size(), 1u);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return client.socket->readyState() == SR_CLOSED; }));
    EXPECT_EQ(errors[0].domain, "com.varen.stt.websocket.timeout");
    EXPECT_EQ(errors[0].code, 504);
    EXPECT_EQ(errors[0].localizedDescription(), "Timeout Connecting to Server");

    // An open socket is left alone by its timeout.
    WebSocketRawServer fast([](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.readRequestHead();
        c.acceptHandshake();
        c.answerCloseAndWaitForEnd(std::chrono::seconds(5));
    });
    WebSocketClient opened(fast.url(), 0.3);
    ASSERT_TRUE(opened.openAndWait());
    test::runMainLoopFor(std::chrono::milliseconds(500));
    EXPECT_TRUE(opened.delegate->errors().empty());
    EXPECT_EQ(opened.socket->readyState(), SR_OPEN);
    opened.socket->close();
}

TEST(SRWebSocketHandshake, CloseWhileConnectingIgnoresTheLateAnswer) {
    std::promise<void> closed;
    auto clientClosed = closed.get_future().share();
    std::atomic<bool> requestRead{false};
    WebSocketRawServer server([&, clientClosed](WebSocketRawConnection& c, WebSocketRawServer& s) {
        c.readRequestHead();
        requestRead = true;
        clientClosed.wait_for(std::chrono::seconds(20));  // the answer comes after the close
        c.acceptHandshake();
        s.note(c.waitForEnd() ? "ended" : "still open");
        auto frame = c.readFrame(std::chrono::milliseconds(100));
        if (frame) s.note("frame");
    });
    WebSocketClient client(server.url());
    client.socket->open();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return requestRead.load(); }));
    client.socket->close();
    closed.set_value();
    ASSERT_TRUE(client.waitEnded());
    ASSERT_TRUE(server.waitFinished());
    EXPECT_EQ(client.delegate->opened(), 0);
    EXPECT_TRUE(client.delegate->errors().empty());
    const auto closes = client.delegate->closes();
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].code, 0);
    EXPECT_TRUE(closes[0].wasClean);
    EXPECT_EQ(server.notes(), std::vector<std::string>{"ended"});
}

struct ProtocolErrorCase {
    const char* name;
    Data frames;
    std::string expectedClose;
};

void PrintTo(const ProtocolErrorCase& c, std::ostream* os) {
    *os << c.name;
}

class SRWebSocketProtocolErrors : public ::testing::TestWithParam<ProtocolErrorCase> {};

TEST_P(SRWebSocketProtocolErrors, ClosesWithTheCodeAndReason) {
    WebSocketRawServer server(expectCloseAfter(GetParam().frames));
    const auto notes = runAgainst(server);
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes.back(), GetParam().expectedClose);
}

INSTANTIATE_TEST_SUITE_P(
    FrameLoop, SRWebSocketProtocolErrors,
    ::testing::Values(
        ProtocolErrorCase{"RSV", bytes({0xC1, 0x00}), "1002 Server used RSV bits"},
        ProtocolErrorCase{"NewDataOpcodeInsideMessage",
                          concat({serverFrame(1, "a", false), serverFrame(1, "b")}),
                          "1002 all data frames after the initial data frame must have opcode 0"},
        ProtocolErrorCase{"BinaryAfterUnfinishedText",
                          concat({serverFrame(1, "a", false), serverFrame(2, "b")}),
                          "1002 all data frames after the initial data frame must have opcode 0"},
        ProtocolErrorCase{"ContinuationWithoutMessage", bytes({0x80, 0x00}),
                          "1002 cannot continue a message"},
        ProtocolErrorCase{"FragmentedPing", bytes({0x09, 0x00}),
                          "1002 Fragmented control frames not allowed"},
        ProtocolErrorCase{"PingOf126", serverFrame(9, Data(126, 'p')),
                          "1002 Control frames cannot have payloads larger than 126 bytes"},
        ProtocolErrorCase{"UnknownOpcode", bytes({0x83, 0x01, 'x'}), "1002 Unknown opcode 3"},
        ProtocolErrorCase{"UnknownOpcodeFragmented",
                          concat({serverFrame(3, "x", false), serverFrame(0, "y")}),
                          "1002 Unknown opcode 3"},
        ProtocolErrorCase{"OneByteClose", bytes({0x88, 0x01, 0x03}),
                          "1002 Payload for close must be larger than 2 bytes"},
        ProtocolErrorCase{"CloseCode1005", serverFrame(8, closePayload(1005)),
                          "1002 Cannot have close code of 1005"},
        ProtocolErrorCase{"CloseCode999", serverFrame(8, closePayload(999)),
                          "1002 Cannot have close code of 999"},
        ProtocolErrorCase{"CloseCode5000", serverFrame(8, closePayload(5000)),
                          "1002 Cannot have close code of 5000"},
        ProtocolErrorCase{"CloseReasonNotUTF8",
                          serverFrame(8, concat({closePayload(1000), bytes({0xC0})})),
                          "1002 Close reason MUST be valid UTF-8"},
        ProtocolErrorCase{"InvalidText", serverFrame(1, bytes({'o', 'k', 0xC0, 0x80})),
                          "1007 Text frames must be valid UTF-8"},
        ProtocolErrorCase{"InvalidFirstFragmentFailsFast",
                          serverFrame(1, bytes({'o', 'k', 0xFF}), false),
                          "1007 Text frames must be valid UTF-8"},
        ProtocolErrorCase{"TextEndingInsideACharacter",
                          concat({serverFrame(1, bytes({0xE2, 0x82}), false),
                                  serverFrame(0, bytes({0xAC, 0xE2}))}),
                          "1007 Text frames must be valid UTF-8"},
        ProtocolErrorCase{"FrameAboveTheDefaultLimit",
                          bytes({0x82, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x01}),
                          "1009 Message too big"},
        ProtocolErrorCase{"HostileLength",
                          bytes({0x82, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
                          "1009 Message too big"}),
    [](const auto& info) { return std::string(info.param.name); });

// A burst of binary messages is coalesced on its way out; commands in between must keep
// their place, and every frame keeps its own masking key.
// Notes each frame up to the client's close (a binary one as the number it carries), then how
// many distinct masking keys came with them.
void noteFramesAndKeysUntilClose(WebSocketRawConnection& c, WebSocketRawServer& s) {
    c.readRequestHead();
    c.acceptHandshake();
    std::set<std::string> keys;
    for (;;) {
        const Data head = c.readBytes(2, std::chrono::seconds(10));
        if (head.size() < 2 || (head[1] & 0x7F) > 125) return s.fail("unexpected frame");
        const Data key = c.readBytes(4, std::chrono::seconds(10));
        Data payload = c.readBytes(head[1] & 0x7F, std::chrono::seconds(10));
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] ^= key[i % 4];
        keys.insert(std::string(key.begin(), key.end()));
        const int opcode = head[0] & 0x0F;
        if (opcode == 2) {
            std::uint32_t n = 0;
            std::memcpy(&n, payload.data(), sizeof n);
            s.note(std::to_string(n));
        } else {
            s.note((opcode == 8 ? "close" : std::to_string(opcode) + ":") +
                   (opcode == 8 ? "" : std::string(payload.begin(), payload.end())));
        }
        if (opcode == 8) break;
    }
    s.note("keys " + std::to_string(keys.size()));
    c.write(serverFrame(8, closePayload(1000)));
    c.waitForEnd();
}

// Sends numbered binary messages and notes what the server should see.
struct NumberedSends {
    SRWebSocket& socket;
    std::vector<std::string> expected;
    std::uint32_t next = 0;

    void binary(int count) {
        for (int i = 0; i < count; ++i, ++next) {
            Data packet(sizeof next);
            std::memcpy(packet.data(), &next, sizeof next);
            socket.send(packet);
            expected.push_back(std::to_string(next));
        }
    }
    void text(const std::string& text) {
        socket.send(text);
        expected.push_back("1:" + text);
    }
    void ping(char payload) {
        socket.sendPing(Data{static_cast<std::uint8_t>(payload)});
        expected.push_back("9:" + std::string(1, payload));
    }
    void close() {
        socket.close();
        expected.push_back("close");
    }
};

std::vector<std::string> framesSeen(WebSocketClient& client, WebSocketRawServer& server) {
    EXPECT_TRUE(client.waitEnded());
    EXPECT_TRUE(server.waitFinished());
    EXPECT_TRUE(server.failures().empty());
    return server.notes();
}

// With or without a send burst held around them (nested, and ending only after the close).
class SRWebSocketWriterOrder : public ::testing::TestWithParam<bool> {};

TEST_P(SRWebSocketWriterOrder, BurstsKeepTheirOrderAroundTextPingAndClose) {
    WebSocketRawServer server(noteFramesAndKeysUntilClose);
    WebSocketClient client(server.url());
    ASSERT_TRUE(client.openAndWait());
    NumberedSends sends{*client.socket, {}};
    {
        std::optional<SRWebSocket::SendBurst> outer, inner;
        if (GetParam()) outer.emplace(), inner.emplace();
        sends.binary(300);
        sends.text("stop");
        sends.binary(100);
        inner.reset();
        sends.ping('p');
        sends.binary(50);
        sends.close();
    }
    auto notes = framesSeen(client, server);
    ASSERT_FALSE(notes.empty());
    const std::string keys = notes.back();
    notes.pop_back();
    EXPECT_EQ(notes, sends.expected);
    // 453 random 32-bit keys: a repeat would mean keys are reused.
    EXPECT_EQ(keys, "keys 453");
}

INSTANTIATE_TEST_SUITE_P(SRWebSocketWriter, SRWebSocketWriterOrder, ::testing::Bool());

// Messages another thread sends join the batch a burst holds; that thread's ping must still
// follow them.
TEST(SRWebSocketWriter, APingFromAnotherThreadFollowsTheMessagesABurstHolds) {
    WebSocketRawServer server(noteFramesAndKeysUntilClose);
    WebSocketClient client(server.url());
    ASSERT_TRUE(client.openAndWait());
    NumberedSends sends{*client.socket, {}};
    {
        SRWebSocket::SendBurst burst;
        sends.binary(3);
        std::thread([&] {
            sends.binary(2);
            sends.ping('q');
        }).join();
    }
    sends.close();
    auto notes = framesSeen(client, server);
    ASSERT_FALSE(notes.empty());
    notes.pop_back();
    EXPECT_EQ(notes, sends.expected);
}

TEST(SRWebSocketWriter, FramesWaitForTheUpgradeRequestAndNothingFollowsTheClose) {
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer& s) {
        s.note(c.readRequestHead().substr(0, 4));
        c.acceptHandshake();
        while (auto frame = c.readFrame()) {
            s.note(std::to_string(frame->opcode) + (frame->opcode == 8 ? "" : " " + frame->text()));
            if (frame->opcode == 8) c.write(serverFrame(8, closePayload(1000)));
        }
    });
    WebSocketClient client(server.url());
    client.socket->send(std::string("early"));  // before there is any connection
    ASSERT_TRUE(client.openAndWait());
    client.socket->close();
    client.socket->send(std::string("late"));
    client.socket->sendPing(Data{1});
    ASSERT_TRUE(client.waitEnded());
    ASSERT_TRUE(server.waitFinished());
    EXPECT_EQ(server.notes(), (std::vector<std::string>{"GET ", "1 early", "8"}));
}

TEST(SRWebSocketWriter, FailsRatherThanSendWithoutAMaskingKey) {
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer& s) {
        c.readRequestHead();
        c.acceptHandshake();
        while (auto frame = c.readFrame()) s.note(std::to_string(frame->opcode));
    });
    WebSocketClient client(server.url());
    SRWebSocketTestAccess::impl(*client.socket)._maskingKeys =
        SRMaskingKeys([](std::uint8_t*, std::size_t) { return -1; });
    ASSERT_TRUE(client.openAndWait());
    client.socket->send(std::string("hi"));
    client.socket->sendPing(std::nullopt);
    ASSERT_TRUE(client.waitEnded());
    const auto errors = client.delegate->errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].domain, SRWebSocketErrorDomain);
    EXPECT_EQ(errors[0].code, SRWebSocketErrorRandomUnavailable);
    EXPECT_EQ(errors[0].localizedDescription(), "Could not draw random bytes for a key");
    ASSERT_TRUE(server.waitFinished());
    EXPECT_TRUE(server.notes().empty());
}

TEST(SRWebSocketFrameLoop, AcceptsCloseCodesInTheAllowedRanges) {
    for (std::uint16_t code : {1000, 1003, 1007, 1011, 3000, 4999}) {
        WebSocketRawServer server([code](WebSocketRawConnection& c, WebSocketRawServer& s) {
            c.readRequestHead();
            c.acceptHandshake();
            c.write(serverFrame(8, closePayload(code, "done")));
            auto reply = c.readFrame();
            if (reply)
                s.note(std::to_string(reply->opcode) + ":" + std::to_string(reply->payload.size()));
            c.waitForEnd();
        });
        WebSocketClient client(server.url());
        ASSERT_TRUE(client.openAndWait());
        ASSERT_TRUE(client.waitEnded());
        ASSERT_TRUE(server.waitFinished());
        // The reply always carries 1000 without a reason; the report carries the peer's code.
        EXPECT_EQ(server.notes(), std::vector<std::string>{"8:2"});
        const auto closes = client.delegate->closes();
        ASSERT_EQ(closes.size(), 1u);
        EXPECT_EQ(closes[0].code, code);
        EXPECT_EQ(closes[0].reason, "done");
        EXPECT_TRUE(closes[0].wasClean);
    }
}

TEST(SRWebSocketFrameLoop, EmptyCloseIsReportedAs1005) {
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.readRequestHead();
        c.acceptHandshake();
        c.write(bytes({0x88, 0x00}));
        c.readFrame();
        c.waitForEnd();
    });
    WebSocketClient client(server.url());
    ASSERT_TRUE(client.openAndWait());
    ASSERT_TRUE(client.waitEnded());
    const auto closes = client.delegate->closes();
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].code, 1005);
    EXPECT_EQ(closes[0].reason, std::nullopt);
}

TEST(SRWebSocketFrameLoop, MaskedServerFrameIsAnErrorButStillRead) {
    WebSocketRawServer server(expectCloseAfter(
        serverFrame(1, Data{'m', 'a', 's', 'k'}, true, std::array<std::uint8_t, 4>{1, 2, 3, 4})));
    std::vector<std::string> messages;
    const auto notes = runAgainst(server, &messages);
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes.back(), "1002 Client must receive unmasked data");
    EXPECT_EQ(messages, std::vector<std::string>{"mask"});
}

TEST(SRWebSocketFrameLoop, PingsBetweenFragmentsAreAnsweredAndTheMessageCompletes) {
    const Data frames = concat(
        {serverFrame(1, bytes({'H', 'e', 0xE2, 0x82}), false), serverFrame(9, "p1"),
         serverFrame(0, bytes({0xAC, ' '}), false), serverFrame(9, ""), serverFrame(0, "end"),
         serverFrame(9, Data(125, 'z')), serverFrame(2, Data{}), serverFrame(1, "")});
    WebSocketRawServer server([frames](WebSocketRawConnection& c, WebSocketRawServer& s) {
        c.readRequestHead();
        c.acceptHandshake();
        c.write(frames);
        for (int i = 0; i < 3; ++i) {
            auto pong = c.readFrame();
            if (!pong) return s.fail("missing pong");
            s.note(std::to_string(pong->opcode) + ":" + std::to_string(pong->payload.size()) + ":" +
                   pong->text().substr(0, 2));
        }
        c.write(serverFrame(8, closePayload(1000)));
        c.readFrame();
        c.waitForEnd();
    });
    WebSocketClient client(server.url());
    ASSERT_TRUE(client.openAndWait());
    ASSERT_TRUE(client.waitEnded());
    ASSERT_TRUE(server.waitFinished());
    EXPECT_EQ(server.notes(), (std::vector<std::string>{"10:2:p1", "10:0:", "10:125:zz"}));
    const auto messages = client.delegate->messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(std::get<std::string>(messages[0]), "He\xE2\x82\xAC end");
    EXPECT_EQ(std::get<Data>(messages[1]), Data{});
    EXPECT_EQ(std::get<std::string>(messages[2]), "");
}

TEST(SRWebSocketFrameLoop, FramesArrivingOneBytePerWriteAreParsed) {
    std::string longText(300, 'L');
    const Data frames =
        concat({serverFrame(1, "one"), serverFrame(1, longText), serverFrame(2, Data{1, 2, 3})});
    WebSocketRawServer server(expectCloseAfter(frames, true));
    WebSocketClient client(server.url());
    ASSERT_TRUE(client.openAndWait());
    ASSERT_TRUE(test::runMainLoopUntil([&] { return client.delegate->messages().size() == 3; }));
    client.socket->close();
    ASSERT_TRUE(client.waitEnded());
    const auto messages = client.delegate->messages();
    EXPECT_EQ(std::get<std::string>(messages[0]), "one");
    EXPECT_EQ(std::get<std::string>(messages[1]), longText);
    EXPECT_EQ(std::get<Data>(messages[2]), (Data{1, 2, 3}));
    ASSERT_TRUE(server.waitFinished());
    EXPECT_EQ(server.notes().back(), "1000 ");
}

TEST(SRWebSocketFrameLoop, UnconvertedTextIsDeliveredAsBytesButStillChecked) {
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.readRequestHead();
        c.acceptHandshake();
        c.write(serverFrame(1, bytes({'a', 0xE2, 0x82})));  // ends inside a character
        c.write(serverFrame(1, bytes({'b', 0xC0, 'c'})));   // ill-formed
        c.readFrame();
        c.write(serverFrame(8, closePayload(1000)));
        c.waitForEnd();
    });
    WebSocketClient client(server.url());
    client.delegate->convertText = false;
    ASSERT_TRUE(client.openAndWait());
    ASSERT_TRUE(client.waitEnded());
    const auto messages = client.delegate->messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(std::get<Data>(messages[0]), bytes({'a', 0xE2, 0x82}));
}

TEST(SRWebSocketFrameLoop, MessageAboveTheLimitClosesWith1009) {
    WebSocketRawServer server(expectCloseAfter(
        concat({serverFrame(2, Data(600, 1)), serverFrame(2, Data(1000, 2)),
                serverFrame(2, Data(600, 3), false), serverFrame(0, Data(600, 4))})));
    WebSocketClient client(server.url());
    client.socket->setMaximumMessageSize(1000);
    ASSERT_TRUE(client.openAndWait());
    ASSERT_TRUE(client.waitEnded());
    ASSERT_TRUE(server.waitFinished());
    EXPECT_EQ(server.notes().back(), "1009 Message too big");
    const auto messages = client.delegate->messages();
    ASSERT_EQ(messages.size(), 2u);  // exactly at the limit is fine
    EXPECT_EQ(std::get<Data>(messages[1]).size(), 1000u);
}

TEST(SRWebSocketClose, StreamEndWithoutCloseIsReportedAs1001NotClean) {
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.readRequestHead();
        c.acceptHandshake();
        c.write(serverFrame(1, "last words"));
        c.closeNow();
    });
    WebSocketClient client(server.url());
    ASSERT_TRUE(client.openAndWait());
    ASSERT_TRUE(client.waitEnded());
    test::runMainLoopFor(std::chrono::milliseconds(100));
    const auto messages = client.delegate->messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(std::get<std::string>(messages[0]), "last words");
    const auto closes = client.delegate->closes();
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].code, 1001);
    EXPECT_EQ(closes[0].reason, "Stream end encountered");
    EXPECT_FALSE(closes[0].wasClean);
    EXPECT_EQ(client.socket->readyState(), SR_CLOSED);
}

TEST(SRWebSocketClose, APeerThatNeverAnswersTheCloseIsDroppedAfterTheDeadline) {
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer& s) {
        c.readRequestHead();
        c.acceptHandshake();
        const auto frame = c.readFrame();
        s.note(frame && frame->opcode == 8 ? "close" : "no close");
        s.note(c.waitForEnd() ? "dropped" : "held");  // and never answers
    });
    WebSocketClient client(server.url());
    client.socket->setClosingHandshakeTimeout(std::chrono::milliseconds(200));
    ASSERT_TRUE(client.openAndWait());
    client.socket->close();
    ASSERT_TRUE(client.waitEnded());
    ASSERT_TRUE(server.waitFinished());
    EXPECT_EQ(server.notes(), (std::vector<std::string>{"close", "dropped"}));
    const auto closes = client.delegate->closes();
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].code, 1006);
    EXPECT_EQ(closes[0].reason, "Closing handshake timed out");
    EXPECT_FALSE(closes[0].wasClean);
}

TEST(SRWebSocketClose, ClientCloseSendsOneCloseFrameWithCodeAndCutReason) {
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer& s) {
        c.readRequestHead();
        c.acceptHandshake();
        auto frame = c.readFrame();
        if (!frame) return s.fail("no close");
        s.note(std::to_string(frame->opcode) + ":" + std::to_string(frame->payload.size()));
        c.write(serverFrame(8, closePayload(4000, "ok")));
        s.note(c.readFrame(std::chrono::milliseconds(300)) ? "second frame" : "nothing more");
        c.waitForEnd();
    });
    WebSocketClient client(server.url());
    ASSERT_TRUE(client.openAndWait());
    client.socket->closeWithCodeReason(4000, std::string(130, 'r'));
    client.socket->close();
    ASSERT_TRUE(client.waitEnded());
    ASSERT_TRUE(server.waitFinished());
    EXPECT_EQ(server.notes(), (std::vector<std::string>{"8:125", "nothing more"}));
    const auto closes = client.delegate->closes();
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].code, 4000);
    EXPECT_EQ(closes[0].reason, "ok");
    EXPECT_TRUE(closes[0].wasClean);
}

TEST(SRWebSocketWriter, SlowPeerReceivesEveryByteOnceInOrder) {
    constexpr std::size_t kMessages = 6;
    constexpr std::size_t kSize = 700 * 1024;
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer& s) {
        c.shrinkReceiveBuffer(32 * 1024);
        c.readRequestHead();
        c.acceptHandshake();
        std::this_thread::sleep_for(
            std::chrono::milliseconds(300));  // let the client's buffer fill
        for (std::size_t m = 0; m < kMessages; ++m) {
            auto frame = c.readFrame(std::chrono::seconds(20));
            if (!frame || frame->payload.size() != kSize) return s.fail("short message");
            for (std::size_t i = 0; i < kSize; ++i) {
                if (frame->payload[i] != static_cast<std::uint8_t>((i * 31 + m) & 0xFF))
                    return s.fail("byte " + std::to_string(i) + " of message " + std::to_string(m));
            }
        }
        s.note("all good");
        c.write(serverFrame(8, closePayload(1000)));
        c.readFrame();
        c.waitForEnd();
    });
    WebSocketClient client(server.url());
    ASSERT_TRUE(client.openAndWait());
    for (std::size_t m = 0; m < kMessages; ++m) {
        Data payload(kSize);
        for (std::size_t i = 0; i < kSize; ++i)
            payload[i] = static_cast<std::uint8_t>((i * 31 + m) & 0xFF);
        client.socket->send(std::move(payload));
    }
    ASSERT_TRUE(
        test::runMainLoopUntil([&] { return client.delegate->ended(); }, std::chrono::seconds(60)));
    ASSERT_TRUE(server.waitFinished());
    EXPECT_TRUE(server.failures().empty()) << server.failures().front();
    EXPECT_EQ(server.notes(), std::vector<std::string>{"all good"});
}

TEST(SRWebSocketStreams, RefusedConnectionFailsWithTheStreamError) {
    int port;
    {
        WebSocketRawServer probe([](WebSocketRawConnection&, WebSocketRawServer&) {});
        port = probe.port();
        WebSocketClient unblock(probe.url());  // lets the probe's accept return
        unblock.socket->open();
        probe.waitFinished();
    }
    WebSocketClient client("ws://127.0.0.1:" + std::to_string(port) + "/", 0.5);
    client.socket->open();
    ASSERT_TRUE(client.waitEnded());
    const auto errors = client.delegate->errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].domain, "com.varen.stt.stream");
    EXPECT_EQ(errors[0].code, ECONNREFUSED);
    test::runMainLoopFor(std::chrono::milliseconds(700));  // the timeout check then does nothing
    EXPECT_EQ(client.delegate->errors().size(), 1u);
}

}  // namespace
}  // namespace varen
