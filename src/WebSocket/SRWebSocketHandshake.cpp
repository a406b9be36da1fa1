// The opening handshake: open, the upgrade request, reading and checking the answer.

#include <cassert>
#include <chrono>
#include <cmath>

#include "WebSocket/SRHandshakeHelpers.h"
#include "WebSocket/SRWebSocketImpl.h"
#include "varenstt/Platform/Log.h"

namespace varen {

using platform::DispatchQueue;

void SRWebSocket::Impl::open() {
    {
        std::lock_guard lock(kvoLock);
        // Released only by cleanup, so a caller may drop its reference right after `open`.
        selfRetain = strongOwner();
    }
    const double timeout = urlRequest->timeoutInterval();
    if (timeout > 0) {
        const auto nanoseconds = static_cast<std::int64_t>(timeout * 1e9);
        // The check holds the socket until it has run.
        DispatchQueue::main()->after(
            std::chrono::nanoseconds(nanoseconds), [socket = strongOwner()] {
                auto& impl = *socket->impl_;
                if (impl.readyState.load() == SR_CONNECTING) {
                    impl._failWithError(Error::withDescription(SRWebSocketTimeoutErrorDomain, 504,
                                                               "Timeout Connecting to Server"));
                }
            });
    }
    openConnection();
}

void SRWebSocket::Impl::didConnect() {
    assertOnWorkQueue();
    // A close while connecting already decided how this connection ends.
    if (readyState.load() != SR_CONNECTING || !secKey.empty()) return;

    SRHeaderFields fields;
    fields.set("Host", SRHostField(url));

    std::uint8_t keyBytes[16];
    SRSecureRandomBytes(keyBytes, sizeof keyBytes);
    secKey = SRBase64Encode(keyBytes, sizeof keyBytes);
    assert(secKey.size() == 24);

    std::vector<SRHTTPCookie> cookies;
    {
        std::lock_guard lock(propertyMutex);
        cookies = requestCookies;
    }
    for (const auto& [name, value] : SRRequestHeaderFieldsWithCookies(cookies)) {
        if (!name.empty() && !value.empty()) fields.set(name, value);
    }

    const auto user = url.user();
    const auto password = url.password();
    if (user && !user->empty() && password && !password->empty()) {
        const std::string credentials = *user + ":" + *password;
        basicAuthorizationString =
            "Basic " + SRBase64Encode(reinterpret_cast<const std::uint8_t*>(credentials.data()),
                                      credentials.size());
        fields.set("Authorization", basicAuthorizationString);
    }

    fields.set("Upgrade", "websocket");
    fields.set("Connection", "Upgrade");
    fields.set("Sec-WebSocket-Key", secKey);
    fields.set("Sec-WebSocket-Version", std::to_string(webSocketVersion));
    fields.set("Origin", SR_origin(url));
    if (requestedProtocols && !requestedProtocols->empty()) {
        std::string joined;
        for (const auto& name : *requestedProtocols) {
            if (!joined.empty()) joined += ", ";
            joined += name;
        }
        fields.set("Sec-WebSocket-Protocol", joined);
    }
    for (const auto& [name, value] : urlRequest->allHTTPHeaderFields()) fields.set(name, value);

    const std::string request = SRSerializeGETRequest(SRResourceName(url), fields);
    _writeData(Data(request.begin(), request.end()));
    _readHTTPHeader();
}

void SRWebSocket::Impl::_readHTTPHeader() {
    assertOnWorkQueue();
    _readUntilHeaderCompleteWithCallback([this](const Data* data) {
        receivedHead.append(data->begin(), data->end());
        // The delivered bytes end with the blank line, so the head is complete.
        _HTTPHeadersDidFinish();
    });
}

bool SRWebSocket::Impl::_checkHandshake(const SRHTTPResponse& response) const {
    const auto accept = response.valueForHeaderField("Sec-WebSocket-Accept");
    return accept && *accept == SRAcceptKeyForKey(secKey);
}

void SRWebSocket::Impl::_HTTPHeadersDidFinish() {
    assertOnWorkQueue();
    SRHTTPResponse response = SRParseHTTPResponseHead(receivedHead);
    {
        std::lock_guard lock(propertyMutex);
        receivedHTTPHeaders = response;
    }
    // A close requested while the answer was on its way ends the connection instead.
    if (readyState.load() != SR_CONNECTING) return;

    const std::int64_t status = response.statusCode;
    if (status >= 400) {
        Error error = Error::withDescription(
            SRWebSocketErrorDomain, 2132,
            "received bad response code from server " + std::to_string(status));
        error.userInfo[SRHTTPResponseErrorKey] = status;
        _failWithError(std::move(error));
        return;
    }
    if (!_checkHandshake(response)) {
        _failWithError(Error::withDescription(SRWebSocketErrorDomain, 2133,
                                              "Invalid Sec-WebSocket-Accept response"));
        return;
    }
    const auto negotiated = response.valueForHeaderField("Sec-WebSocket-Protocol");
    if (negotiated) {
        bool requested = false;
        if (requestedProtocols) {
            for (const auto& name : *requestedProtocols)
                requested = requested || name == *negotiated;
        }
        // RFC 6455 §4.1: a subprotocol the client did not ask for fails the connection.
        if (!requested) {
            _failWithError(Error::withDescription(
                SRWebSocketErrorDomain, 2133,
                "Server specified Sec-WebSocket-Protocol that wasn't requested"));
            return;
        }
        std::lock_guard lock(propertyMutex);
        protocol = *negotiated;
    }
    setReadyState(SR_OPEN);
    _readFrameNew();
    _performDelegateBlock([](SRWebSocket& socket, SRWebSocketDelegate& delegate) {
        delegate.webSocketDidOpen(socket);
    });
}

}  // namespace varen
