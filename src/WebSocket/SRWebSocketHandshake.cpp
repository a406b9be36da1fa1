// The opening handshake: open, the upgrade request, reading and checking the answer.

#include <cassert>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/HTTP/HTTPMessage.h"
#include "Platform/Runtime.h"
#include "WebSocket/SRHandshakeHelpers.h"
#include "WebSocket/SRWebSocketImpl.h"
#include "varenstt/Platform/Log.h"

namespace varen {

using platform::DispatchQueue;

namespace {

// Open sockets hold themselves until their cleanup runs on the network thread. Once the runtime
// has stopped that thread, the cleanup never comes, so the sockets still open let go then.
class OpenSockets {
  public:
    static void add(const std::shared_ptr<SRWebSocket>& socket) {
        static const char key = 0;
        const auto runtime = platform::Runtime::current();
        const auto registry = runtime->shared<OpenSockets>(&key, [&] {
            auto created = std::make_shared<OpenSockets>();
            runtime->atShutdown(platform::Runtime::Stage::retireLoops,
                                [created] { created->releaseAll(); });
            return created;
        });
        std::lock_guard lock(registry->mutex_);
        std::erase_if(registry->sockets_, [](const auto& weak) { return weak.expired(); });
        registry->sockets_.push_back(socket);
    }

  private:
    void releaseAll() {
        std::vector<std::weak_ptr<SRWebSocket>> sockets;
        {
            std::lock_guard lock(mutex_);
            sockets.swap(sockets_);
        }
        for (const auto& weak : sockets) {
            const auto socket = weak.lock();
            if (!socket) continue;
            auto& impl = SRStreamDelegateAdapter::implOf(*socket);
            std::shared_ptr<SRWebSocket> dropped;  // let go of after the lock
            std::lock_guard lock(impl.kvoLock);
            dropped = std::move(impl.selfRetain);
        }
    }

    std::mutex mutex_;
    std::vector<std::weak_ptr<SRWebSocket>> sockets_;
};

}  // namespace

void SRWebSocket::Impl::open() {
    {
        std::lock_guard lock(kvoLock);
        // Released only by cleanup, so a caller may drop its reference right after `open`.
        selfRetain = strongOwner();
    }
    OpenSockets::add(selfRetain);
    const double timeout = urlRequest->timeoutInterval();
    if (timeout > 0) {
        const auto nanoseconds = static_cast<std::int64_t>(timeout * 1e9);
        // The check holds the socket until it has run; it runs where the delegate hears of it.
        delegateQueue()->after(std::chrono::nanoseconds(nanoseconds), [socket = strongOwner()] {
            auto& impl = *socket->impl_;
            if (impl.readyState.load() == SR_CONNECTING) {
                impl._failWithError(Error::withDescription(SRWebSocketTimeoutErrorDomain,
                                                           SRWebSocketTimeoutErrorCode,
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

    platform::HTTPMessage request = platform::HTTPMessage::createRequest("GET", url);
    auto set = [&request](const std::string& name, const std::string& value) {
        // The message refuses a field that would break the request head; it is left out.
        (void)request.setHeaderFieldValue(name, value);
    };
    set("Host", SRHostField(url));

    std::uint8_t keyBytes[16];
    if (!SRSecureRandomBytes(keyBytes, sizeof keyBytes)) {
        _failWithError(SRRandomUnavailableError());
        return;
    }
    secKey = SRBase64Encode(keyBytes, sizeof keyBytes);
    assert(secKey.size() == 24);

    std::vector<SRHTTPCookie> cookies;
    {
        std::lock_guard lock(propertyMutex);
        cookies = requestCookies;
    }
    for (const auto& [name, value] : SRRequestHeaderFieldsWithCookies(cookies)) {
        if (!name.empty() && !value.empty()) set(name, value);
    }

    const auto user = url.user();
    const auto password = url.password();
    if (user && !user->empty() && password && !password->empty()) {
        const std::string credentials = *user + ":" + *password;
        basicAuthorizationString =
            "Basic " + SRBase64Encode(reinterpret_cast<const std::uint8_t*>(credentials.data()),
                                      credentials.size());
        set("Authorization", basicAuthorizationString);
    }

    set("Upgrade", "websocket");
    set("Connection", "Upgrade");
    set("Sec-WebSocket-Key", secKey);
    set("Sec-WebSocket-Version", std::to_string(webSocketVersion));
    set("Origin", SR_origin(url));
    if (requestedProtocols && !requestedProtocols->empty()) {
        std::string joined;
        for (const auto& name : *requestedProtocols) {
            if (!joined.empty()) joined += ", ";
            joined += name;
        }
        set("Sec-WebSocket-Protocol", joined);
    }
    for (const auto& [name, value] : urlRequest->allHTTPHeaderFields()) set(name, value);

    _writeData(request.serializedMessage());
    _readHTTPHeader();
}

void SRWebSocket::Impl::_readHTTPHeader() {
    assertOnWorkQueue();
    if (!receivedResponse) receivedResponse = platform::HTTPMessage::createEmptyResponse();
    // A head that does not end within the parser's limit is taken whole, so that the parser
    // rejects it instead of the read buffer growing without end.
    static const std::uint8_t delimiter[] = {'\r', '\n', '\r', '\n'};
    _addConsumerWithScannerCallback(
        [](const std::uint8_t* bytes, std::size_t length) -> std::size_t {
            const std::size_t found = SRScanUntilBytes(bytes, length, delimiter, 4);
            if (found == 0 && length > platform::HTTPMessage::kMaxHeadLength) return length;
            return found;
        },
        [this](const Data* data) {
            receivedResponse->appendBytes(data->data(), data->size());
            if (receivedResponse->isHeaderComplete() || receivedResponse->isMalformed()) {
                _HTTPHeadersDidFinish();
            } else {
                _readHTTPHeader();
            }
        });
}

bool SRWebSocket::Impl::_checkHandshake(const platform::HTTPMessage& response) const {
    const auto accept = response.headerFieldValue("Sec-WebSocket-Accept");
    return accept && *accept == SRAcceptKeyForKey(secKey);
}

void SRWebSocket::Impl::_HTTPHeadersDidFinish() {
    assertOnWorkQueue();
    const platform::HTTPMessage& response = *receivedResponse;
    {
        std::lock_guard lock(propertyMutex);
        receivedHTTPHeaders =
            SRHTTPResponse{response.responseStatusCode(), response.allHeaderFields()};
    }
    // A close requested while the answer was on its way ends the connection instead.
    if (readyState.load() != SR_CONNECTING) return;

    const std::int64_t status = response.responseStatusCode();
    if (status >= 400) {
        Error error = Error::withDescription(
            SRWebSocketErrorDomain, SRWebSocketErrorBadResponseCode,
            "received bad response code from server " + std::to_string(status));
        error.userInfo[SRHTTPResponseErrorKey] = status;
        _failWithError(std::move(error));
        return;
    }
    if (!_checkHandshake(response)) {
        _failWithError(Error::withDescription(SRWebSocketErrorDomain,
                                              SRWebSocketErrorInvalidHandshake,
                                              "Invalid Sec-WebSocket-Accept response"));
        return;
    }
    const auto negotiated = response.headerFieldValue("Sec-WebSocket-Protocol");
    if (negotiated) {
        bool requested = false;
        if (requestedProtocols) {
            for (const auto& name : *requestedProtocols)
                requested = requested || name == *negotiated;
        }
        // RFC 6455 §4.1: a subprotocol the client did not ask for fails the connection.
        if (!requested) {
            _failWithError(Error::withDescription(
                SRWebSocketErrorDomain, SRWebSocketErrorInvalidHandshake,
                "Server specified Sec-WebSocket-Protocol that wasn't requested"));
            return;
        }
        std::lock_guard lock(propertyMutex);
        protocol = *negotiated;
    }
    setReadyState(SR_OPEN);
    startKeepAlive();
    _readFrameNew();
    _performDelegateBlock([](SRWebSocket& socket, SRWebSocketDelegate& delegate) {
        delegate.webSocketDidOpen(socket);
    });
}

}  // namespace varen
