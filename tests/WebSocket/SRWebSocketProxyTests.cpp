#include "varenstt/SRWebSocket.h"

#include <gtest/gtest.h>

#include "Support/NetTestServer.h"
#include "Support/TinyProxy.h"
#include "Support/WebSocketClientHarness.h"
#include "Support/WebSocketPythonPeer.h"

namespace varen {
namespace {

using test::TinyProxy;
using test::WebSocketClient;
using test::WebSocketPythonPeer;

std::string portText(int port) {
    return std::to_string(port);
}

TinyProxy::Options allowingOnly(int port) {
    TinyProxy::Options options;
    options.connectPorts = {static_cast<std::uint16_t>(port)};
    return options;
}

class SRWebSocketProxy : public ::testing::Test {
  protected:
    // A socket to `url` that goes through the proxy at `proxy`.
    static std::unique_ptr<WebSocketClient> through(const std::string& proxy,
                                                    const std::string& url, double timeout = 0) {
        auto client = std::make_unique<WebSocketClient>(url, timeout);
        client->socket->setProxyURL(URL::URLWithString(proxy));
        return client;
    }

    static void expectProxyFailed(const Error& error, const std::string& text,
                                  std::optional<int> status = std::nullopt) {
        EXPECT_EQ(error.domain, SRWebSocketErrorDomain);
        EXPECT_EQ(error.code, SRWebSocketErrorProxyFailed);
        EXPECT_EQ(error.localizedDescription(), text);
        if (status) {
            EXPECT_EQ(error.userInfo.value(SRHTTPResponseErrorKey, 0), *status);
        } else {
            EXPECT_FALSE(error.userInfo.contains(SRHTTPResponseErrorKey));
        }
    }

    // A wss peer whose certificate names only "localhost": a name check against the proxy's
    // 127.0.0.1 would fail.
    std::unique_ptr<WebSocketPythonPeer> startSecurePeer() {
        certificate =
            test::makeSelfSignedCertificate(dir.path().string(), "localhost", "DNS:localhost");
        auto peer = std::make_unique<WebSocketPythonPeer>(
            WEBSOCKET_PEER_SCRIPT, certificate.certFile, certificate.keyFile);
        EXPECT_TRUE(peer->started());
        return peer;
    }

    test::TemporaryDirectory dir;
    test::SelfSignedCertificate certificate;
};

// ---- Through a real proxy ------------------------------------------------------------------

TEST_F(SRWebSocketProxy, WsEchoesThroughTheTunnel) {
    WebSocketPythonPeer peer(WEBSOCKET_PEER_SCRIPT);
    ASSERT_TRUE(peer.started());
    TinyProxy proxy(allowingOnly(peer.port()));
    ASSERT_TRUE(proxy.started());
    auto client = through(proxy.url(), peer.url("/echo"));
    test::expectEchoThenCleanClose(*client, "through the proxy");
    EXPECT_NE(proxy.log().find("CONNECT 127.0.0.1:" + portText(peer.port()) + " HTTP/1.1"),
              std::string::npos);
}

TEST_F(SRWebSocketProxy, WssChecksTheServerInsideTheTunnel) {
    const auto peer = startSecurePeer();
    TinyProxy proxy;
    ASSERT_TRUE(proxy.started());
    auto trusted = through(proxy.url(), peer->url("/echo", "localhost"));
    trusted->request->addSR_extraTrustedCertificatePEM(certificate.pem());
    test::expectEchoThenCleanClose(*trusted, "tls in the tunnel");
    EXPECT_NE(proxy.log().find("CONNECT localhost:" + portText(peer->port())), std::string::npos);

    auto untrusted = through(proxy.url(), peer->url("/echo", "localhost"));
    EXPECT_EQ(test::expectOpenFails(*untrusted).domain, "com.varen.stt.stream.tls");
}

TEST_F(SRWebSocketProxy, PinsConcernTheServer) {
    const auto peer = startSecurePeer();
    const auto other = test::makeSelfSignedCertificate(dir.path().string(), "other", "DNS:other");
    TinyProxy proxy;
    ASSERT_TRUE(proxy.started());
    const auto pinOf = [](const test::SelfSignedCertificate& c) {
        return std::vector<Data>{*SRCertificateDERFromBytes(test::readBinaryFile(c.certFile))};
    };
    auto pinned = through(proxy.url(), peer->url("/echo", "localhost"));
    pinned->request->setSR_SSLPinnedCertificates(pinOf(certificate));
    test::expectEchoThenCleanClose(*pinned, "pinned");

    auto mispinned = through(proxy.url(), peer->url("/echo", "localhost"));
    mispinned->request->setSR_SSLPinnedCertificates(pinOf(other));
    const Error error = test::expectOpenFails(*mispinned);
    EXPECT_EQ(error.domain, SRWebSocketPinningErrorDomain);
    EXPECT_EQ(error.code, SRWebSocketPinningErrorCode);
}

TEST_F(SRWebSocketProxy, CredentialsAreSentDecodedAndRefusalsNameTheStatus) {
    WebSocketPythonPeer peer(WEBSOCKET_PEER_SCRIPT);
    ASSERT_TRUE(peer.started());
    TinyProxy::Options options;
    options.basicAuth = {"user", "secret"};
    TinyProxy proxy(options);
    ASSERT_TRUE(proxy.started());
    auto admitted = through(proxy.url("user:s%65cret"), peer.url("/echo"));
    test::expectEchoThenCleanClose(*admitted, "authenticated");

    const std::string refused =
        "Proxy 127.0.0.1:" + portText(proxy.port()) + " refused the tunnel: ";
    auto anonymous = through(proxy.url(), peer.url("/echo"));
    expectProxyFailed(test::expectOpenFails(*anonymous),
                      refused + "407 Proxy Authentication Required", 407);
    auto wrong = through(proxy.url("user:wrong"), peer.url("/echo"));
    expectProxyFailed(test::expectOpenFails(*wrong), refused + "401 Unauthorized", 401);
}

TEST_F(SRWebSocketProxy, APortTheProxyDoesNotAllowIsRefused) {
    WebSocketPythonPeer peer(WEBSOCKET_PEER_SCRIPT);
    ASSERT_TRUE(peer.started());
    TinyProxy proxy(allowingOnly(peer.port() == 443 ? 444 : 443));
    ASSERT_TRUE(proxy.started());
    auto client = through(proxy.url(), peer.url("/echo"));
    expectProxyFailed(
        test::expectOpenFails(*client),
        "Proxy 127.0.0.1:" + portText(proxy.port()) + " refused the tunnel: 403 Access violation",
        403);
}

TEST_F(SRWebSocketProxy, AProxyThatIsNotListeningFails) {
    const auto port = test::unusedLocalPort();
    auto client = through("http://127.0.0.1:" + portText(port), "ws://127.0.0.1:9/echo");
    expectProxyFailed(test::expectOpenFails(*client),
                      "Proxy 127.0.0.1:" + portText(port) + " unreachable: Connection refused");
}

TEST_F(SRWebSocketProxy, AnUnusableProxyURLFailsTheOpen) {
    for (const std::string proxy : {"socks5://127.0.0.1:1080", "http:/no-host"}) {
        SCOPED_TRACE(proxy);
        auto client = through(proxy, "ws://127.0.0.1:9/echo");
        expectProxyFailed(test::expectOpenFails(*client),
                          "Proxy URL " + proxy + " is not of the form http://host:port");
    }
}

// ---- Against a scripted proxy --------------------------------------------------------------

TEST_F(SRWebSocketProxy, ScriptedProxyAnswers) {
    const std::string tooLong =
        "HTTP/1.1 200 OK\r\n" + std::string(17 * 1024, 'x');  // never ends its head
    struct Case {
        std::string what, origin, userInfo;
        std::optional<std::string> reply;  // none: hangs up without answering
        std::string request, failure;
        std::optional<int> status;
    };
    const std::vector<Case> cases = {
        {"IPv6 origin, credentials, refusal", "ws://[::1]:9/x", "user:p%40ss",
         "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n",
         "CONNECT [::1]:9 HTTP/1.1\r\nHost: [::1]:9\r\n"
         "Proxy-Authorization: Basic dXNlcjpwQHNz\r\n\r\n",
         "refused the tunnel: 407 Proxy Authentication Required", 407},
        {"bytes before we spoke", "wss://localhost:9/", "", "HTTP/1.1 200 OK\r\n\r\nearly",
         "CONNECT localhost:9 HTTP/1.1\r\nHost: localhost:9\r\n\r\n",
         "sent bytes after its answer, before the tunnel was used", std::nullopt},
        {"hangs up", "ws://127.0.0.1:9/", "", std::nullopt, "",
         "closed the connection before answering", std::nullopt},
        {"endless head", "ws://127.0.0.1:9/", "", tooLong, "",
         "sent an answer head longer than 16384 bytes", std::nullopt},
        {"not HTTP", "ws://127.0.0.1:9/", "", "SSH-2.0-OpenSSH\r\n\r\n", "",
         "sent a malformed answer", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::NetTestServer proxy([&c](test::NetTestConnection& connection) {
            if (!connection.receiveUntil("\r\n\r\n")) return;
            if (!c.reply) return connection.close();
            connection.send(*c.reply);
            connection.receiveUntilEnd();  // the client decides when it ends
        });
        const std::string proxyURL = "http://" + (c.userInfo.empty() ? "" : c.userInfo + "@") +
                                     "127.0.0.1:" + portText(proxy.port());
        auto client = through(proxyURL, c.origin);
        expectProxyFailed(test::expectOpenFails(*client),
                          "Proxy 127.0.0.1:" + portText(proxy.port()) + " " + c.failure, c.status);
        if (!c.request.empty()) {
            const Data received = proxy.connections().at(0)->received();
            EXPECT_EQ(std::string(received.begin(), received.end()), c.request);
        }
    }
}

TEST_F(SRWebSocketProxy, TheOpenTimeoutCoversTheProxy) {
    test::NetTestServer silent(test::NetTestServer::recordUntilEnd());
    auto client = through("http://127.0.0.1:" + portText(silent.port()), "ws://127.0.0.1:9/", 0.5);
    const Error error = test::expectOpenFails(*client);
    EXPECT_EQ(error.domain, SRWebSocketTimeoutErrorDomain);
    EXPECT_EQ(error.code, SRWebSocketTimeoutErrorCode);
}

}  // namespace
}  // namespace varen
