#include "varenstt/SRWebSocket.h"

#include <gtest/gtest.h>

#include "Support/TestSupport.h"
#include "Support/WebSocketClientHarness.h"
#include "Support/WebSocketPythonPeer.h"

namespace varen {
namespace {

using test::WebSocketClient;
using test::WebSocketPythonPeer;

class SRWebSocketTLS : public ::testing::Test {
  protected:
    void SetUp() override {
        server = test::makeSelfSignedCertificate(dir.path().string(), "localhost",
                                                 "DNS:localhost,IP:127.0.0.1");
        other = test::makeSelfSignedCertificate(dir.path().string(), "other.example",
                                                "DNS:other.example");
        peer = std::make_unique<WebSocketPythonPeer>(WEBSOCKET_PEER_SCRIPT, server.certFile,
                                                     server.keyFile);
        ASSERT_TRUE(peer->started());
    }

    static void expectEcho(WebSocketClient& client) {
        test::expectEchoThenCleanClose(client, "over tls");
    }
    static Error expectFailure(WebSocketClient& client) { return test::expectOpenFails(client); }

    test::TemporaryDirectory dir;
    test::SelfSignedCertificate server;
    test::SelfSignedCertificate other;
    std::unique_ptr<WebSocketPythonPeer> peer;
};

TEST_F(SRWebSocketTLS, UntrustedCertificateIsRefused) {
    WebSocketClient client(peer->url("/echo", "localhost"));
    const Error error = expectFailure(client);
    EXPECT_EQ(error.domain, "com.varen.stt.stream.tls");
}

TEST_F(SRWebSocketTLS, AddedCAIsTrusted) {
    WebSocketClient client(peer->url("/echo", "localhost"));
    client.request->addSR_extraTrustedCertificatePEM(server.pem());
    expectEcho(client);
}

TEST_F(SRWebSocketTLS, HostNameMismatchIsRefusedEvenWithTheCATrusted) {
    WebSocketPythonPeer misnamed(WEBSOCKET_PEER_SCRIPT, other.certFile, other.keyFile);
    ASSERT_TRUE(misnamed.started());
    WebSocketClient client(misnamed.url("/echo", "localhost"));
    client.request->addSR_extraTrustedCertificatePEM(other.pem());
    const Error error = expectFailure(client);
    EXPECT_EQ(error.domain, "com.varen.stt.stream.tls");
}

TEST_F(SRWebSocketTLS, AllowingUntrustedCertificatesSkipsValidation) {
    WebSocketClient client(peer->url("/echo", "localhost"));
    client.socket->setAllowsUntrustedSSLCertificates(true);
    expectEcho(client);
}

TEST_F(SRWebSocketTLS, MatchingPinAdmitsTheServer) {
    WebSocketClient client(peer->url("/echo", "127.0.0.1"));
    const auto der = SRCertificateDERFromBytes(test::readBinaryFile(server.certFile));
    ASSERT_TRUE(der);
    client.request->setSR_SSLPinnedCertificates(std::vector<Data>{*der});
    expectEcho(client);
}

TEST_F(SRWebSocketTLS, WrongPinFailsWith23556) {
    WebSocketClient client(peer->url("/echo", "localhost"));
    const auto der = SRCertificateDERFromBytes(test::readBinaryFile(other.certFile));
    ASSERT_TRUE(der);
    client.request->setSR_SSLPinnedCertificates(std::vector<Data>{*der});
    const Error error = expectFailure(client);
    EXPECT_EQ(error.domain, "com.varen.stt.websocket.pinning");
    EXPECT_EQ(error.code, 23556);
    EXPECT_EQ(error.localizedDescription(), "Invalid server cert");
}

TEST_F(SRWebSocketTLS, EmptyPinListMeansNoPinning) {
    WebSocketClient client(peer->url("/echo", "localhost"));
    client.request->setSR_SSLPinnedCertificates(std::vector<Data>{});
    client.request->addSR_extraTrustedCertificatePEM(server.pem());
    expectEcho(client);
}

TEST_F(SRWebSocketTLS, APinCountsOnlyForWhatTheHandshakeProves) {
    // A CA-issued server, and an attacker with its own key who appends public certificates.
    const auto ca = test::makeSelfSignedCertificate(dir.path().string(), "ca", "DNS:ca");
    const auto leaf = test::makeCertificateIssuedBy(ca, dir.path().string(), "localhost",
                                                    "DNS:localhost,IP:127.0.0.1");
    const std::string d = dir.path().string();
    struct Case {
        std::string what, chainFile, keyFile;
        std::vector<test::SelfSignedCertificate> pins;
        bool trustCA, admitted;
    };
    const std::vector<Case> cases = {
        {"leaf pin", test::writeChainFile(d + "/a", {leaf, ca}), leaf.keyFile, {leaf}, false, true},
        {"CA pin", test::writeChainFile(d + "/b", {leaf, ca}), leaf.keyFile, {ca}, false, true},
        {"server cert appended",
         test::writeChainFile(d + "/c", {other, leaf}),
         other.keyFile,
         {leaf},
         false,
         false},
        {"...with the CA trusted", d + "/c", other.keyFile, {leaf}, true, false},
        {"CA appended",
         test::writeChainFile(d + "/e", {other, ca}),
         other.keyFile,
         {ca},
         false,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WebSocketPythonPeer server(WEBSOCKET_PEER_SCRIPT, c.chainFile, c.keyFile);
        ASSERT_TRUE(server.started());
        WebSocketClient client(server.url("/echo", "localhost"));
        std::vector<Data> pins;
        for (const auto& pin : c.pins) {
            pins.push_back(*SRCertificateDERFromBytes(test::readBinaryFile(pin.certFile)));
        }
        client.request->setSR_SSLPinnedCertificates(pins);
        if (c.trustCA) client.request->addSR_extraTrustedCertificatePEM(ca.pem());
        if (c.admitted) {
            expectEcho(client);
        } else {
            EXPECT_EQ(expectFailure(client).code, 23556);
        }
    }
}

}  // namespace
}  // namespace varen
