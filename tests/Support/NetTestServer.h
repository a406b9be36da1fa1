#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "varenstt/Platform/Data.h"

namespace varen::test {

// A certificate and its private key, made by the openssl command line in a folder.
struct NetTestIdentity {
    std::filesystem::path certificatePath;
    std::filesystem::path privateKeyPath;
    std::string certificatePEM;
    Data certificateDER;
};

// A self-signed certificate (RSA 2048, valid two days) with the common name and the subject
// alternative names given as openssl writes them ("DNS:localhost,IP:127.0.0.1").
NetTestIdentity makeSelfSignedIdentity(const std::filesystem::path& folder, const std::string& name,
                                       const std::string& commonName,
                                       const std::string& subjectAltNames);

// One accepted connection, driven by the server's session function on a thread of its own with
// blocking calls. Every byte received is recorded.
//
// Thread safety: the session thread drives the connection; `received`, `receivedCount` and
// `peerEnded` may be read from any thread.
class NetTestConnection {
  public:
    struct Impl;
    explicit NetTestConnection(std::unique_ptr<Impl> impl);
    ~NetTestConnection();

    // Sends all bytes; false once the peer is gone.
    bool send(std::string_view bytes);
    bool send(const Data& bytes);
    // Sends the bytes one write at a time, `chunk` bytes each.
    bool sendInPieces(std::string_view bytes, std::size_t chunk);
    // Blocks until some bytes arrive; what one read gave (empty at the end of the stream).
    Data receiveSome();
    // Blocks until `count` more bytes have arrived (fewer at the end of the stream).
    Data receive(std::size_t count);
    // Blocks until the received bytes contain `pattern`; everything up to and including it, or
    // none at the end of the stream.
    std::optional<Data> receiveUntil(std::string_view pattern);
    // Blocks until the peer ends its stream; what came in meanwhile.
    Data receiveUntilEnd();
    // Reads `total` bytes (or until the end) in pieces of `chunk` bytes, pausing after each: a
    // slow peer, whose full receive window makes the other side's writes partial.
    Data receiveSlowly(std::size_t total, std::size_t chunk, std::chrono::milliseconds pause);
    // Ends the sending direction (FIN) and keeps reading possible.
    void shutdownWrite();
    void close();
    // Closes with a reset (RST) instead of an orderly end.
    void reset();

    Data received() const;
    std::size_t receivedCount() const;
    bool peerEnded() const;

  private:
    friend class NetTestServer;
    std::unique_ptr<Impl> impl_;
};

// A TCP server on 127.0.0.1 (or another local address) with an ephemeral port, optionally TLS,
// running the session function once per accepted connection, each on its own thread. Stops
// (unblocking every session) when destroyed.
//
// Thread safety: all members may be called from any thread.
class NetTestServer {
  public:
    using Session = std::function<void(NetTestConnection&)>;

    struct Options {
        std::optional<NetTestIdentity> tls;  // serve TLS with this identity
        // Receive buffer of accepted sockets, in bytes; small values make a slow reader show
        // sooner.
        std::optional<int> receiveBufferSize;
        std::string address = "127.0.0.1";  // "::1" for the IPv6 loopback
    };

    explicit NetTestServer(Session session) : NetTestServer(std::move(session), Options{}) {}
    NetTestServer(Session session, Options options);
    ~NetTestServer();
    NetTestServer(const NetTestServer&) = delete;
    NetTestServer& operator=(const NetTestServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::size_t connectionCount() const;
    std::size_t finishedSessionCount() const;
    bool waitForFinishedSessions(std::size_t count,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::vector<std::shared_ptr<NetTestConnection>> connections() const;
    // The text of the last failed TLS handshake on the server's side.
    std::optional<std::string> lastHandshakeError() const;
    // The server name (SNI) the last TLS client asked for; empty when it sent none.
    std::string lastServerName() const;

    // Sessions for common scripts.
    static Session echo();                             // sends back what arrives until the end
    static Session replyThenClose(std::string bytes);  // sends, then closes
    static Session recordUntilEnd();                   // only listens

  private:
    struct State;
    void acceptLoop();

    std::shared_ptr<State> state_;
    std::uint16_t port_ = 0;
    std::thread acceptThread_;
};

// A port on 127.0.0.1 on which nothing listens (it was bound and released).
std::uint16_t unusedLocalPort();

}  // namespace varen::test
