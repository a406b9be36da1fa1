#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "varenstt/Platform/Data.h"
#include "varenstt/Platform/Error.h"
#include "varenstt/Platform/RunLoop.h"

namespace varen::platform {

// Byte streams over one TCP connection (optionally TLS), delivering events on the run loop
// where the pair is scheduled. The stand-in for a CFNetwork stream pair.

enum class StreamEvent : unsigned {
    None = 0,
    OpenCompleted = 1,
    HasBytesAvailable = 2,
    HasSpaceAvailable = 4,
    ErrorOccurred = 8,
    EndEncountered = 16,
};

enum class StreamStatus : int {
    NotOpen = 0,
    Opening = 1,
    Open = 2,
    Reading = 3,
    Writing = 4,
    AtEnd = 5,
    Closed = 6,
    Error = 7,
};

// Error domain of the streams' own failures: the system error number as code, its text as the
// localized description (a failed name lookup: the getaddrinfo code and text, e.g. EAI_NONAME).
// TLS failures use "com.varen.stt.stream.tls": a rejected certificate carries the X.509
// verification result as code ("certificate verify failed: hostname mismatch", 62), other TLS
// failures OpenSSL's reason code and text.
inline constexpr const char* kStreamErrorDomain = "com.varen.stt.stream";
inline constexpr const char* kStreamTLSErrorDomain = "com.varen.stt.stream.tls";
// Failures of the proxy phase, each text naming the proxy: unreachable (the system error number
// as code), refused (the proxy's HTTP status as code and under kStreamProxyStatusKey), or a
// tunnel broken or garbled before it was up (code 0 unless a system error caused it).
inline constexpr const char* kStreamProxyErrorDomain = "com.varen.stt.stream.proxy";
inline constexpr const char* kStreamProxyStatusKey = "ProxyStatusCode";

class Stream;

// Receives a stream's events, on the thread of the run loop the stream is scheduled in.
class StreamDelegate {
  public:
    virtual ~StreamDelegate() = default;
    virtual void streamHandleEvent(Stream& stream, StreamEvent event) = 0;
};

// TLS settings of a pair; applied before `open`.
struct TLSSettings {
    // With validation on: the system trust store (plus `extraTrustedCertificatesPEM`), SNI and a
    // check of `peerName` against the server certificate. Off: no chain or name check at all.
    bool validatesCertificateChain = true;
    std::string peerName;                                  // the URL's host (SNI and name check)
    std::vector<std::string> extraTrustedCertificatesPEM;  // additional trusted CAs
};

// An HTTP proxy for a pair; applied before `open`. The connection goes to the proxy, which is
// asked for a tunnel (CONNECT) to the pair's host and port; TLS, if any, runs inside the tunnel
// and still checks the pair's host, not the proxy.
struct ProxySettings {
    std::string host;  // an IP literal without brackets
    std::uint32_t port = 0;
    std::optional<std::string> user;  // with a user, Basic credentials are sent (user:password)
    std::string password;
};

// Thread safety: `read`, `write`, `hasBytesAvailable`, `hasSpaceAvailable`, `status`, `error`,
// `close` and the peer chain may be called from any thread (the socket's work queue); events are
// delivered only on the scheduled run loop's thread. `close` stops all further events.
class Stream {
  public:
    virtual ~Stream() = default;
    virtual void open() = 0;
    virtual void close() = 0;
    virtual void setDelegate(std::weak_ptr<StreamDelegate> delegate) = 0;
    virtual void scheduleInRunLoop(std::shared_ptr<RunLoop> loop) = 0;
    virtual void removeFromRunLoop(const std::shared_ptr<RunLoop>& loop) = 0;
    virtual StreamStatus streamStatus() const = 0;
    virtual std::optional<Error> streamError() const = 0;
    // TLS for the connection; set on the output stream (the input stream shares the connection).
    virtual void setTLSSettings(const TLSSettings& settings) = 0;
    // The proxy for the connection; set on the output stream, like TLS.
    virtual void setProxySettings(const ProxySettings& settings) = 0;
    // After the TLS handshake: the server's chain, leaf first, as DER certificates.
    virtual std::vector<Data> peerCertificateChain() const = 0;
};

class InputStream : public Stream {
  public:
    virtual bool hasBytesAvailable() const = 0;
    // Up to `maxLength` bytes: the count read, 0 at the end of the stream, -1 on error. Never
    // blocks; 0 with bytes still to come cannot happen when `hasBytesAvailable` was true.
    // Reading pauses while about 1 MiB lies unread. A read that leaves bytes behind is followed
    // by another HasBytesAvailable; EndEncountered comes only once every byte has been read.
    virtual long read(std::uint8_t* buffer, std::size_t maxLength) = 0;
};

class OutputStream : public Stream {
  public:
    virtual bool hasSpaceAvailable() const = 0;
    // Takes up to `length` bytes (possibly fewer): the count taken, -1 on error, when closed or
    // not opened. Never blocks. Nothing is taken (0) until the connection is up, and no more than
    // about 1 MiB waits to be sent; HasSpaceAvailable follows each completed send.
    virtual long write(const std::uint8_t* bytes, std::size_t length) = 0;
    // True while bytes that `write` took have not yet been handed to the system. Once it turns
    // false a HasSpaceAvailable follows, so a writer can wait for its bytes to really leave
    // (for instance before it reports a close and its host exits).
    virtual bool hasBytesWaitingToBeSent() const = 0;
};

struct StreamPair {
    std::shared_ptr<InputStream> input;
    std::shared_ptr<OutputStream> output;
};

// An unopened pair for a host name and port; nothing touches the network until `open`. The
// connection does its I/O on the loop the output stream (else the input stream, else the caller
// of `open`) is scheduled on at `open`; that loop must outlive the pair. Dropping both streams
// closes the connection; what `write` accepted is still sent first (for a few seconds at most).
// A stream without a loop receives no events.
StreamPair createStreamPairWithSocketToHost(const std::string& host, std::uint32_t port);

}  // namespace varen::platform
