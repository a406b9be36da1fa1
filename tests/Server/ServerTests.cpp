// The built server driven over real connections.
#include "ServerTestSupport.h"

#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <nlohmann/json.hpp>

namespace varen::server::test {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using nlohmann::json;

constexpr const char* kModel = kDigitsModel;

TEST(Server, AnswersTheStopCommandWithTheSpokenDigitsAndCloses) {
    ServerProcess server;
    TestClient client;
    startSession(client, server.port());
    client.sendAll(digitPackets());
    client.sendStop();
    auto messages = client.receiveUntilClosed();
    ASSERT_FALSE(messages.empty());
    json final = json::parse(messages.back());
    EXPECT_EQ(final["final"], true);
    ASSERT_EQ(final["hypotheses"].size(), 1u);
    EXPECT_EQ(final["hypotheses"][0]["transcript"], kDigits);
    EXPECT_GT(final["confidence"].get<double>(), 0.0);
    EXPECT_LE(final["confidence"].get<double>(), 1.0);
    EXPECT_FALSE(client.timedOut());
    EXPECT_EQ(client.closeCode(), 1000);
    EXPECT_TRUE(server.waitForLog("final \"seven three nine one\"", std::chrono::seconds(5)));
}

TEST(Server, GivesUpToNBestAlternativesAndPartialsBeforeTheFinal) {
    ServerProcess server;
    TestClient client;
    startSession(client, server.port(), R"({"n-best":3})");
    client.sendAll(digitPackets());
    client.sendStop();
    auto messages = client.receiveUntilClosed();
    ASSERT_GE(messages.size(), 2u);
    for (std::size_t i = 0; i + 1 < messages.size(); ++i) {
        json partial = json::parse(messages[i]);
        EXPECT_EQ(partial["final"], false);
        EXPECT_TRUE(partial["transcript"].is_string());
    }
    json final = json::parse(messages.back());
    EXPECT_GE(final["hypotheses"].size(), 1u);
    EXPECT_LE(final["hypotheses"].size(), 3u);
    EXPECT_EQ(final["hypotheses"][0]["transcript"], kDigits);
}

TEST(Server, EndpointingSendsTheFinalWithoutAStop) {
    ServerProcess server;
    TestClient client;
    startSession(client, server.port(), R"({"do-endpointing":true,"min-silence":1.0})");
    client.sendAll(speexPackets(speech(kDigits, "kal", 0.3, 2.0)));
    auto finals = finalsOf(client.receiveUntilClosed());
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0]["hypotheses"][0]["transcript"], kDigits);
    EXPECT_EQ(client.closeCode(), 1000);
}

TEST(Server, RefusesSessionsBeyondMaxSessionsAsBusy) {
    ServerProcess server({"--max-sessions", "1"});
    TestClient first;
    startSession(first, server.port());

    TestClient second;
    ASSERT_TRUE(second.connect(server.port(), "k", kModel));
    EXPECT_EQ(parse(second.receive()), json({{"status", "busy"}}));
    EXPECT_FALSE(second.receive());
    EXPECT_EQ(second.closeCode(), 1013);

    first.sendStop();
    first.receiveUntilClosed();
    ASSERT_TRUE(server.waitForLog("session 1 final", std::chrono::seconds(5)));
    // The place is free again once the first session has ended.
    for (int attempt = 0; attempt < 50; ++attempt) {
        TestClient probe;
        ASSERT_TRUE(probe.connect(server.port(), "k", kModel));
        probe.sendStart();
        if (parse(probe.receive()) == json({{"status", "ready"}})) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FAIL() << "no place came free";
}

TEST(Server, AcceptsOnlyTheConfiguredKeys) {
    ServerProcess server({"--api-key", "good", "--api-key", "other"});
    TestClient refused;
    ASSERT_TRUE(refused.connect(server.port(), "bad", kModel));
    EXPECT_EQ(parse(refused.receive()), json({{"status", "error"}, {"error", "Invalid API key"}}));
    EXPECT_FALSE(refused.receive());

    TestClient accepted;
    ASSERT_TRUE(accepted.connect(server.port(), "other", kModel));
    accepted.sendStart();
    EXPECT_EQ(parse(accepted.receive()), json({{"status", "ready"}}));
}

TEST(Server, NamesAnUnknownModel) {
    ServerProcess server;
    TestClient client;
    ASSERT_TRUE(client.connect(server.port(), "k", "it-IT_8k"));
    EXPECT_EQ(parse(client.receive()),
              json({{"status", "error"}, {"error", "Unknown model it-IT_8k"}}));
    EXPECT_FALSE(client.receive());
    EXPECT_EQ(client.closeCode(), 1008);
}

TEST(Server, SaysWhatWasWrongWithMalformedOrMisplacedMessages) {
    ServerProcess server;
    auto errorAfter = [&](const std::function<void(TestClient&)>& send) {
        TestClient client;
        EXPECT_TRUE(client.connect(server.port(), "k", kModel));
        send(client);
        json answer;
        while (auto message = client.receive()) {
            answer = json::parse(*message);
            if (answer["status"] == "error") break;
        }
        EXPECT_FALSE(client.receive());  // and the connection closes
        return answer.value("error", std::string("(no error)"));
    };
    EXPECT_EQ(errorAfter([](TestClient& c) { c.sendText("{oops"); }), "Malformed JSON at byte 2");
    EXPECT_EQ(errorAfter([](TestClient& c) { c.sendBinary(digitPackets()[0]); }),
              "Audio before the start command");
    EXPECT_EQ(errorAfter([](TestClient& c) { c.sendStop(); }),
              "Stop command before the start command");
    EXPECT_EQ(errorAfter([](TestClient& c) {
                  c.sendStart();
                  c.sendStart();
              }),
              "Start command while decoding");
    EXPECT_EQ(errorAfter([](TestClient& c) { c.sendStart(R"({"audio-type":"speex;wb;16"})"); }),
              "Unsupported audio type");
}

TEST(Server, TimesOutASilentClientButNotABusyOne) {
    ServerProcess server;
    TestClient busy;
    startSession(busy, server.port(), R"({"timeout":0.5})");
    for (int i = 0; i < 50; ++i) {
        busy.sendBinary(digitPackets()[static_cast<std::size_t>(i)]);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    busy.sendStop();
    EXPECT_EQ(finalsOf(busy.receiveUntilClosed()).size(), 1u);

    TestClient silent;
    startSession(silent, server.port(), R"({"timeout":0.5})");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(parse(silent.receive()), json({{"status", "connection timeout"}}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_FALSE(silent.receive());
    EXPECT_FALSE(silent.timedOut());
}

TEST(Server, BadInputEndsOnlyItsOwnSession) {
    ServerProcess server;
    TestClient good;
    startSession(good, server.port());

    TestClient garbage;
    startSession(garbage, server.port());
    for (int i = 0; i < 100; ++i) garbage.sendBinary(Packet(static_cast<std::size_t>(i + 1), 0xa5));
    garbage.sendText(std::string(1 << 20, 'x'));  // beyond the largest message
    garbage.receiveUntilClosed();
    EXPECT_TRUE(garbage.closed());
    EXPECT_TRUE(server.waitForLog("session 2 ended: The WebSocket message exceeded the locally",
                                  std::chrono::seconds(5)));

    good.sendAll(digitPackets());
    good.sendStop();
    auto finals = finalsOf(good.receiveUntilClosed());
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0]["hypotheses"][0]["transcript"], kDigits);
    EXPECT_TRUE(server.running());
}

int httpStatus(std::uint16_t port, const std::string& target) {
    net::io_context ioc;
    beast::tcp_stream stream(ioc);
    net::ip::tcp::resolver resolver(ioc);
    stream.connect(resolver.resolve("127.0.0.1", std::to_string(port)));
    http::request<http::empty_body> request(http::verb::get, target, 11);
    request.set(http::field::host, "127.0.0.1");
    http::write(stream, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    return static_cast<int>(response.result_int());
}

TEST(Server, AnswersOtherPathsWith404) {
    ServerProcess server;
    EXPECT_EQ(httpStatus(server.port(), "/"), 404);
    EXPECT_EQ(httpStatus(server.port(), "/ws/client/speechX?key=k&model=en-US_8k_digits"), 404);
    EXPECT_EQ(httpStatus(server.port(), "/ws/client/speech?key=k"), 426);
    TestClient client;
    EXPECT_FALSE(client.connect(server.port(), "/ws/other?key=k&model=en-US_8k_digits"));
    EXPECT_EQ(client.error(), "The WebSocket handshake was declined by the remote peer");
}

TEST(Server, ServesWssWithTheGivenCertificate) {
    TempFolder folder;
    std::string cert = (folder.path() / "cert.pem").string();
    std::string key = (folder.path() / "key.pem").string();
    ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1"
                           " -keyout " +
                           key + " -out " + cert + " 2>/dev/null")
                              .c_str()),
              0);
    ServerProcess server({"--tls-cert", cert, "--tls-key", key});

    net::io_context ioc;
    net::ssl::context tls(net::ssl::context::tls_client);
    tls.load_verify_file(cert);
    tls.set_verify_mode(net::ssl::verify_peer);
    beast::websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws(ioc, tls);
    net::ip::tcp::resolver resolver(ioc);
    beast::get_lowest_layer(ws).connect(
        resolver.resolve("127.0.0.1", std::to_string(server.port())));
    ws.next_layer().handshake(net::ssl::stream_base::client);
    ws.handshake("127.0.0.1", "/ws/client/speech?key=k&model=en-US_8k_digits");
    ws.write(net::buffer(std::string(R"({"decoding":"start","audio-type":"speex;nb;8"})")));
    beast::flat_buffer buffer;
    ws.read(buffer);
    EXPECT_EQ(beast::buffers_to_string(buffer.data()), R"({"status":"ready"})");
}

}  // namespace
}  // namespace varen::server::test
