#include <gtest/gtest.h>

#include "Support/NetTestServer.h"
#include "Support/TestSupport.h"
#include "Support/TinyProxy.h"
#include "Support/WebSocketPythonPeer.h"
#include "Support/WebSocketRawServer.h"

namespace varen {
namespace {

using test::ChildProcess;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        out.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

TEST(VarenWsTool, SendsStdinLinesAndClosesCleanlyAtTheEnd) {
    test::WebSocketPythonPeer peer(WEBSOCKET_PEER_SCRIPT);
    ASSERT_TRUE(peer.started());
    ChildProcess::Options options;
    options.pipeStdin = true;
    ChildProcess tool({VAREN_WS_PATH, "--protocol", "chat", peer.url("/echo")}, options);
    ASSERT_TRUE(tool.waitForOutputLine([](const std::string& l) { return l.rfind("open", 0) == 0; },
                                       std::chrono::seconds(10), true));
    tool.writeStdin("first line\nzweite Zeile \xC3\xA4\n");
    ASSERT_TRUE(tool.waitForOutputLine(
        [](const std::string& l) { return l.rfind("zweite", 0) == 0; }, std::chrono::seconds(10)));
    tool.closeStdin();
    EXPECT_EQ(tool.wait(std::chrono::seconds(10)), 0);
    EXPECT_EQ(lines(tool.standardOutput()),
              (std::vector<std::string>{"first line", "zweite Zeile \xC3\xA4"}));
    EXPECT_EQ(
        lines(tool.standardError()),
        (std::vector<std::string>{"open protocol=chat", "closed code=1000 reason= clean=true"}));
}

TEST(VarenWsTool, GoesThroughTheProxyOfItsOptionOrOfTheEnvironment) {
    test::WebSocketPythonPeer peer(WEBSOCKET_PEER_SCRIPT);
    ASSERT_TRUE(peer.started());
    test::TinyProxy proxy;
    ASSERT_TRUE(proxy.started());
    const std::string dead = "http://127.0.0.1:" + std::to_string(test::unusedLocalPort());
    struct Case {
        std::vector<std::string> arguments;
        std::map<std::string, std::string> environment;
    };
    const std::vector<Case> cases = {
        {{"--proxy", proxy.url()}, {{"http_proxy", dead}}},
        {{}, {{"http_proxy", proxy.url()}, {"no_proxy", ""}}},
        {{}, {{"http_proxy", dead}, {"no_proxy", "localhost,127.0.0.1"}}},  // direct
    };
    for (const auto& c : cases) {
        ChildProcess::Options options;
        options.pipeStdin = true;
        options.environment = c.environment;
        std::vector<std::string> argv{VAREN_WS_PATH};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        argv.push_back(peer.url("/echo"));
        ChildProcess tool(argv, options);
        tool.writeStdin("proxied\n");
        EXPECT_TRUE(tool.waitForOutputLine([](const std::string& l) { return l == "proxied"; },
                                           std::chrono::seconds(10)));
        tool.closeStdin();
        EXPECT_EQ(tool.wait(std::chrono::seconds(15)), 0) << tool.standardError();
        EXPECT_EQ(lines(tool.standardOutput()), std::vector<std::string>{"proxied"});
    }
    const std::string log = proxy.log();
    const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(peer.port());
    const auto first = log.find(connect);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(log.find(connect, first + 1), std::string::npos);
}

TEST(VarenWsTool, EchoModeSendsMessagesBackWithTheirType) {
    test::WebSocketRawServer server([](test::WebSocketRawConnection& c,
                                       test::WebSocketRawServer& s) {
        c.readRequestHead();
        s.note(c.requestField("X-Token").value_or("<none>"));
        c.acceptHandshake();
        c.write(test::serverFrame(1, "hello"));
        c.write(test::serverFrame(2, Data{1, 2, 3}));
        for (int i = 0; i < 2; ++i) {
            auto frame = c.readFrame();
            if (frame)
                s.note(std::to_string(frame->opcode) + ":" + std::to_string(frame->payload.size()));
        }
        c.write(test::serverFrame(8, test::closePayload(4001, "bye")));
        c.readFrame();
        c.waitForEnd();
    });
    ChildProcess tool({VAREN_WS_PATH, "--echo", "--header", "X-Token: abc", server.url()});
    EXPECT_EQ(tool.wait(std::chrono::seconds(15)), 0);
    EXPECT_EQ(lines(tool.standardOutput()), (std::vector<std::string>{"hello", "binary 3 bytes"}));
    EXPECT_EQ(
        lines(tool.standardError()),
        (std::vector<std::string>{"open protocol=", "closed code=4001 reason=bye clean=true"}));
    ASSERT_TRUE(server.waitFinished());
    EXPECT_EQ(server.notes(), (std::vector<std::string>{"abc", "1:5", "2:3"}));
}

TEST(VarenWsTool, TheCloseReplyLeavesBeforeTheToolExits) {
    // The tool exits as soon as it hears the close, while a backlog of echoes is still on its
    // way out; the backlog and then the close reply must reach the server all the same. (An
    // echo of the last message may come after our close and is then never sent.)
    constexpr int kMessages = 8;
    constexpr std::size_t kSize = 512 * 1024;
    for (int session = 0; session < 3; ++session) {
        test::WebSocketRawServer server([](test::WebSocketRawConnection& c,
                                           test::WebSocketRawServer& s) {
            c.readRequestHead();
            c.acceptHandshake();
            for (int m = 0; m < kMessages; ++m) c.write(test::serverFrame(2, Data(kSize, 7)));
            c.write(test::serverFrame(8, test::closePayload(1000)));
            while (auto frame = c.readFrame()) {
                if (frame->opcode == 8) return s.note("close reply");
            }
            s.note("no close reply");
        });
        ChildProcess tool({VAREN_WS_PATH, "--echo", server.url()});
        EXPECT_EQ(tool.wait(std::chrono::seconds(30)), 0);
        ASSERT_TRUE(server.waitFinished());
        ASSERT_EQ(server.notes(), std::vector<std::string>{"close reply"}) << "session " << session;
    }
}

TEST(VarenWsTool, StreamEndIsAnUncleanCloseWithStatus1) {
    test::WebSocketRawServer server([](test::WebSocketRawConnection& c, test::WebSocketRawServer&) {
        c.readRequestHead();
        c.acceptHandshake();
        c.closeNow();
    });
    ChildProcess tool({VAREN_WS_PATH, "--echo", server.url()});
    EXPECT_EQ(tool.wait(std::chrono::seconds(15)), 1);
    EXPECT_EQ(lines(tool.standardError()).back(),
              "closed code=1001 reason=Stream end encountered clean=false");
}

TEST(VarenWsTool, FailureIsReportedWithStatus3) {
    test::WebSocketRawServer server([](test::WebSocketRawConnection& c, test::WebSocketRawServer&) {
        c.readRequestHead();
        c.write("HTTP/1.1 403 Forbidden\r\n\r\n");
        c.waitForEnd();
    });
    ChildProcess tool({VAREN_WS_PATH, "--echo", server.url()});
    EXPECT_EQ(tool.wait(std::chrono::seconds(15)), 3);
    EXPECT_EQ(lines(tool.standardError()),
              (std::vector<std::string>{"failed domain=SRWebSocketErrorDomain code=2132 message="
                                        "received bad response code from server 403"}));
}

TEST(VarenWsTool, UsageErrorsExitWith2) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{VAREN_WS_PATH},
          {VAREN_WS_PATH, "http://x/"},
          {VAREN_WS_PATH, "--timeout", "soon", "ws://x/"},
          {VAREN_WS_PATH, "--bogus", "ws://x/"},
          {VAREN_WS_PATH, "--pin", "/nonexistent-pin.pem", "wss://x/"},
          {VAREN_WS_PATH, "--ca", "/", "wss://x/"}}) {
        ChildProcess tool(args);
        EXPECT_EQ(tool.wait(std::chrono::seconds(10)), 2) << args.back();
    }
    ChildProcess help({VAREN_WS_PATH, "--help"});
    EXPECT_EQ(help.wait(std::chrono::seconds(10)), 0);
    EXPECT_NE(help.standardOutput().find("usage: varen-ws"), std::string::npos);
}

TEST(VarenWsTool, InsecureAndPinnedTLS) {
    test::TemporaryDirectory dir;
    const auto cert = test::makeSelfSignedCertificate(dir.path().string(), "localhost",
                                                      "DNS:localhost,IP:127.0.0.1");
    test::WebSocketPythonPeer peer(WEBSOCKET_PEER_SCRIPT, cert.certFile, cert.keyFile);
    ASSERT_TRUE(peer.started());
    for (const std::vector<std::string>& extra : {std::vector<std::string>{"--insecure"},
                                                  {"--pin", cert.certFile},
                                                  {"--ca", cert.certFile}}) {
        ChildProcess::Options options;
        options.pipeStdin = true;
        std::vector<std::string> args{VAREN_WS_PATH};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(peer.url("/echo", "localhost"));
        ChildProcess tool(args, options);
        tool.writeStdin("secure hello\n");
        ASSERT_TRUE(tool.waitForOutputLine([](const std::string& l) { return l == "secure hello"; },
                                           std::chrono::seconds(10)))
            << extra[0] << ": " << tool.standardError();
        tool.closeStdin();
        EXPECT_EQ(tool.wait(std::chrono::seconds(10)), 0) << extra[0];
    }
    ChildProcess refused({VAREN_WS_PATH, "--echo", peer.url("/echo", "localhost")});
    EXPECT_EQ(refused.wait(std::chrono::seconds(10)), 3);
    EXPECT_EQ(
        lines(refused.standardError()).back().rfind("failed domain=com.varen.stt.stream.tls", 0),
        0u);
}

}  // namespace
}  // namespace varen
