#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "varenstt/Export.h"
#include "varenstt/Platform/Data.h"
#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/Error.h"
#include "varenstt/Platform/OperationQueue.h"
#include "varenstt/Platform/RunLoop.h"
#include "varenstt/Platform/URL.h"
#include "varenstt/SRURLRequest.h"
#include "varenstt/SRWebSocketErrors.h"

namespace varen {

// Error domain of handshake and write failures.
VARENSTT_API extern const char* const SRWebSocketErrorDomain;  // "SRWebSocketErrorDomain"
// User-info key under which a rejected handshake carries the HTTP status code.
VARENSTT_API extern const char* const SRHTTPResponseErrorKey;  // "HTTPResponseStatusCode"
// Domain of the open timeout (code 504): "com.varen.stt.websocket.timeout".
VARENSTT_API extern const char* const SRWebSocketTimeoutErrorDomain;
// Domain of a failed certificate pin (code 23556): "com.varen.stt.websocket.pinning".
VARENSTT_API extern const char* const SRWebSocketPinningErrorDomain;
// The run-loop mode a socket is scheduled in unless told otherwise.
VARENSTT_API extern const char* const SRDefaultRunLoopMode;

enum SRReadyState : std::int64_t {
    SR_CONNECTING = 0,
    SR_OPEN = 1,
    SR_CLOSING = 2,
    SR_CLOSED = 3,
};

// A received message: text as a string, binary (or unconverted text) as bytes.
using SRMessage = std::variant<std::string, Data>;

class SRWebSocket;
class SRStreamDelegateAdapter;

// Receives a socket's events. Every call but `webSocketShouldConvertTextFrameToString` arrives
// asynchronously on the socket's delegate queue (see `SRWebSocket::setDelegateOperationQueue`),
// in the order the socket produced them.
class VARENSTT_API SRWebSocketDelegate {
  public:
    virtual ~SRWebSocketDelegate() = default;
    // A complete message arrived.
    virtual void webSocketDidReceiveMessage(SRWebSocket& webSocket, const SRMessage& message) = 0;
    // The handshake was accepted; the ready state is open.
    virtual void webSocketDidOpen(SRWebSocket& /*webSocket*/) {}
    // The connection failed; arrives at most once, and no close report follows it.
    virtual void webSocketDidFailWithError(SRWebSocket& /*webSocket*/, const Error& /*error*/) {}
    // The closing handshake finished, or the stream ended without one (1001, not clean).
    virtual void webSocketDidCloseWithCodeReasonWasClean(
        SRWebSocket& /*webSocket*/, std::int64_t /*code*/,
        const std::optional<std::string>& /*reason*/, bool /*wasClean*/) {}
    virtual void webSocketDidReceivePong(SRWebSocket& /*webSocket*/, const Data& /*pongPayload*/) {}
    // Asked synchronously on the socket's work queue when a text message completes; false hands
    // the message over as its raw bytes.
    virtual bool webSocketShouldConvertTextFrameToString(SRWebSocket& /*webSocket*/) {
        return true;
    }
};

// An RFC 6455 (version 13) WebSocket client over TCP, with TLS and certificate pinning.
//
// One object per connection: `open` once; a closed socket is not reopened. The socket keeps
// itself alive from `open` until its connection is cleaned up, so a caller may drop its
// reference right after `open`. Failures arrive only through the delegate.
//
// Thread safety: `send`, `sendPing`, `close` and `closeWithCodeReason` may be called from any
// thread and only queue work on the socket's serial work queue; `readyState` may be read from
// any thread. Construction, `open` and the setters belong to the caller's thread and are meant
// to be used before `open`. Delegate calls arrive on `delegateOperationQueue` when set, else on
// `delegateDispatchQueue` (the main queue, i.e. the host's main run loop, by default).
class VARENSTT_API SRWebSocket : public std::enable_shared_from_this<SRWebSocket> {
  public:
    static std::shared_ptr<SRWebSocket> initWithURLRequestProtocolsAllowsUntrustedSSLCertificates(
        std::shared_ptr<SRURLRequest> request, std::optional<std::vector<std::string>> protocols,
        bool allowsUntrustedSSLCertificates);
    static std::shared_ptr<SRWebSocket> initWithURLRequestProtocols(
        std::shared_ptr<SRURLRequest> request, std::optional<std::vector<std::string>> protocols);
    static std::shared_ptr<SRWebSocket> initWithURLRequest(std::shared_ptr<SRURLRequest> request);
    static std::shared_ptr<SRWebSocket> initWithURL(const URL& url);
    static std::shared_ptr<SRWebSocket> initWithURLProtocols(
        const URL& url, std::optional<std::vector<std::string>> protocols);
    static std::shared_ptr<SRWebSocket> initWithURLProtocolsAllowsUntrustedSSLCertificates(
        const URL& url, std::optional<std::vector<std::string>> protocols,
        bool allowsUntrustedSSLCertificates);

    ~SRWebSocket();
    SRWebSocket(const SRWebSocket&) = delete;
    SRWebSocket& operator=(const SRWebSocket&) = delete;

    void setDelegate(std::weak_ptr<SRWebSocketDelegate> delegate);
    std::shared_ptr<SRWebSocketDelegate> delegate() const;

    // Starts connecting; call once.
    void open();
    // `closeWithCodeReason(1000, none)`.
    void close();
    // Starts the closing handshake; `code` must not be 0. A reason longer than 123 UTF-8 bytes
    // is cut on a character boundary so the close frame stays within 125 payload bytes.
    void closeWithCodeReason(std::int64_t code, std::optional<std::string> reason);
    // Queues a text message.
    void send(std::string text);
    // Queues a binary message.
    void send(Data data);
    // Queues a text or binary message; none sends nothing.
    void send(std::optional<SRMessage> message);
    // Queues a ping; none means an empty payload.
    void sendPing(std::optional<Data> data);

    // While one is alive on a thread, the messages that thread sends are held back and handed to
    // their sockets' work queues when the outermost one ends: a run of sends then costs one
    // hand-over and one write, not one for every message or two. Order is kept; a ping or close
    // queued meanwhile lets the held messages go first. Meant for a few microseconds of sends:
    // held messages wait for its end.
    class VARENSTT_API SendBurst {
      public:
        SendBurst();
        ~SendBurst();
        SendBurst(const SendBurst&) = delete;
        SendBurst& operator=(const SendBurst&) = delete;
    };

    SRReadyState readyState() const;
    const URL& url() const;
    // The subprotocol the server selected; none until then or when it selected none.
    std::optional<std::string> protocol() const;

    void setDelegateDispatchQueue(std::shared_ptr<platform::DispatchQueue> queue);
    std::shared_ptr<platform::DispatchQueue> delegateDispatchQueue() const;
    void setDelegateOperationQueue(std::shared_ptr<platform::OperationQueue> queue);
    std::shared_ptr<platform::OperationQueue> delegateOperationQueue() const;

    // Where stream events are delivered; by default the shared network thread. The first loop
    // a socket is scheduled in before `open` also runs the socket's own work (framing,
    // parsing): a host whose delegate queue runs on that loop too has the whole socket on one
    // thread, with no hand-over per message.
    void scheduleInRunLoopForMode(std::shared_ptr<platform::RunLoop> runLoop, std::string mode);
    void unscheduleFromRunLoopForMode(std::shared_ptr<platform::RunLoop> runLoop, std::string mode);

    std::vector<SRHTTPCookie> requestCookies() const;
    void setRequestCookies(std::vector<SRHTTPCookie> cookies);
    bool allowsUntrustedSSLCertificates() const;
    void setAllowsUntrustedSSLCertificates(bool allows);
    // The server's handshake answer once its head has been read completely.
    std::optional<SRHTTPResponse> receivedHTTPHeaders() const;

    // How long a close may wait for the peer's close frame and for our last bytes to leave
    // (RFC 6455 §7.1.1). Past it the connection is dropped and reported closed with 1006,
    // "Closing handshake timed out", not clean. 10 s by default.
    std::chrono::milliseconds closingHandshakeTimeout() const;
    void setClosingHandshakeTimeout(std::chrono::milliseconds timeout);

    // The largest message (and frame) accepted; a larger one closes with 1009 "Message too big"
    // before its excess is buffered. 64 MiB by default.
    std::uint64_t maximumMessageSize() const;
    void setMaximumMessageSize(std::uint64_t bytes);

    // Keep-alive: while open, a ping goes out once nothing has been received for this long, and
    // a connection that then receives nothing more for as long again fails with
    // SRWebSocketErrorNoPong. Zero (the default) sends no pings.
    std::chrono::milliseconds pingInterval() const;
    void setPingInterval(std::chrono::milliseconds interval);

    // An HTTP proxy to reach the server through, asked for a tunnel with CONNECT:
    // http://[user:password@]host[:port] (port 80 when left out). None, the default, connects
    // directly. TLS, the host-name check and pinning still concern the server, not the proxy;
    // the open timeout covers the proxy too. A proxy that is unusable, unreachable or refuses
    // fails the socket with SRWebSocketErrorProxyFailed.
    std::optional<URL> proxyURL() const;
    void setProxyURL(std::optional<URL> proxy);

  private:
    struct VARENSTT_LOCAL Impl;
    // The library's own files reach the implementation through it.
    friend class SRStreamDelegateAdapter;
    SRWebSocket(std::shared_ptr<SRURLRequest> request,
                std::optional<std::vector<std::string>> protocols,
                bool allowsUntrustedSSLCertificates);
    std::unique_ptr<Impl> impl_;
};

}  // namespace varen
