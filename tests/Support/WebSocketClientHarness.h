#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

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

}  // namespace varen::test
