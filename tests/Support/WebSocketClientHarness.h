#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Support/TestSupport.h"
#include "Support/WebSocketTestDelegate.h"
#include "varenstt/SRWebSocket.h"

namespace varen::test {

// A socket to a test peer with a recording delegate; delegate calls arrive on the main loop,
// which the test runs.
struct WebSocketClient {
    explicit WebSocketClient(const std::string& url, double timeoutSeconds = 0,
                             std::optional<std::vector<std::string>> protocols = std::nullopt) {
        request = std::make_shared<SRURLRequest>(URL::URLWithString(url));
        request->setTimeoutInterval(timeoutSeconds);
        socket = SRWebSocket::initWithURLRequestProtocols(request, std::move(protocols));
        socket->setDelegate(delegate);
    }
    // Opens and runs the main loop until the handshake ended either way.
    bool openAndWait() {
        socket->open();
        return runMainLoopUntil([&] { return delegate->opened() > 0 || delegate->ended(); });
    }
    bool waitEnded() {
        return runMainLoopUntil([&] { return delegate->ended(); });
    }

    std::shared_ptr<WebSocketTestDelegate> delegate = std::make_shared<WebSocketTestDelegate>();
    std::shared_ptr<SRURLRequest> request;
    std::shared_ptr<SRWebSocket> socket;
};

inline std::string textOf(const SRMessage& message) {
    if (const auto* s = std::get_if<std::string>(&message)) return *s;
    return "<binary>";
}

// Opens, sends one text message and expects it back, then closes cleanly.
inline void expectEchoThenCleanClose(WebSocketClient& client, const std::string& text) {
    ASSERT_TRUE(client.openAndWait());
    const auto errors = client.delegate->errors();
    ASSERT_EQ(client.delegate->opened(), 1)
        << (errors.empty() ? std::string("no error") : errors[0].localizedDescription());
    client.socket->send(text);
    ASSERT_TRUE(runMainLoopUntil([&] { return !client.delegate->messages().empty(); }));
    EXPECT_EQ(textOf(client.delegate->messages()[0]), text);
    client.socket->close();
    ASSERT_TRUE(client.waitEnded());
    ASSERT_EQ(client.delegate->closes().size(), 1u);
    EXPECT_TRUE(client.delegate->closes()[0].wasClean);
}

// Opens and expects the socket to fail once without opening; the error it failed with.
inline Error expectOpenFails(WebSocketClient& client) {
    client.socket->open();
    EXPECT_TRUE(client.waitEnded());
    EXPECT_EQ(client.delegate->opened(), 0);
    const auto errors = client.delegate->errors();
    EXPECT_EQ(errors.size(), 1u);
    return errors.empty() ? Error{} : errors[0];
}

}  // namespace varen::test
