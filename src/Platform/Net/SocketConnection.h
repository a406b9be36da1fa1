#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>

#include "Platform/Net/ProxyTunnel.h"
#include "Platform/Net/Streams.h"

namespace varen::platform::detail {

enum class StreamSide { Input = 0, Output = 1 };

// The one TCP (optionally TLS) connection behind a stream pair, with its inbound and outbound
// buffers and the state of both streams.
//
// Thread safety: the public members may be called from any thread. Buffers, statuses, delegates
// and flags are guarded by one mutex; every Asio operation is started and completed on the
// thread running the I/O loop (the loop the pair was scheduled on at `open`), so the socket
// objects themselves are touched by that thread only. Events are posted to each stream's loop and
// delivered there without the mutex held, so a delegate may call back into the streams. A
// `close` on the delivering loop's thread stops every later event; from another thread, an event
// whose delivery has already begun may still arrive. Completion handlers hold the connection
// alive, so the streams may be dropped with operations pending; the I/O loop must outlive them.
class SocketConnection : public std::enable_shared_from_this<SocketConnection> {
  public:
    // Reading pauses while this much is buffered unread.
    static constexpr std::size_t kInboundHighWater = 1 << 20;
    // `write` takes at most this much beyond what is not yet written to the socket.
    static constexpr std::size_t kOutboundCapacity = 1 << 20;
    // How long a closed pair keeps trying to send what it had accepted and waits for the peer
    // to end its side.
    static constexpr auto kCloseLinger = std::chrono::seconds(5);

    SocketConnection(std::string host, std::uint32_t port);
    ~SocketConnection();
    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;

    void attach(StreamSide side, std::weak_ptr<Stream> stream);

    void open(StreamSide side);
    void close(StreamSide side);
    void setDelegate(StreamSide side, std::weak_ptr<StreamDelegate> delegate);
    void schedule(StreamSide side, std::shared_ptr<RunLoop> loop);
    void unschedule(StreamSide side, const std::shared_ptr<RunLoop>& loop);
    StreamStatus status(StreamSide side) const;
    std::optional<Error> error() const;
    void setTLSSettings(const TLSSettings& settings);
    void setProxySettings(const ProxySettings& settings);
    std::vector<Data> peerCertificateChain() const;

    bool hasBytesAvailable() const;
    long read(std::uint8_t* buffer, std::size_t maxLength);
    bool hasSpaceAvailable() const;
    long write(const std::uint8_t* bytes, std::size_t length);
    bool hasBytesWaitingToBeSent() const;

  private:
    struct SideState {
        std::weak_ptr<Stream> stream;
        std::weak_ptr<StreamDelegate> delegate;
        std::weak_ptr<RunLoop> loop;
        StreamStatus status = StreamStatus::NotOpen;
        bool closed = false;
    };

    SideState& state(StreamSide side) { return sides_[static_cast<int>(side)]; }
    const SideState& state(StreamSide side) const { return sides_[static_cast<int>(side)]; }
    std::size_t unreadLocked() const { return inbound_.size() - readOffset_; }

    // Any thread.
    void postToIO(void (SocketConnection::*step)());
    void startWriteSoon();
    bool onIOThread() const;
    void deliver(StreamSide side, StreamEvent event, bool fromIOCompletion = false);
    void deliverFromIO(StreamSide side, StreamEvent event);
    void dispatchEvent(StreamSide side, StreamEvent event);

    // I/O thread only.
    void start();
    void onResolved(const asio::error_code& ec,
                    const asio::ip::tcp::resolver::results_type& results);
    void onConnected(const asio::error_code& ec);
    void requestTunnel();
    void onTunnelRequested(const asio::error_code& ec);
    void readTunnelAnswer();
    void onTunnelAnswer(const asio::error_code& ec, std::size_t count);
    void startSession();
    Error connectFailure(Error cause) const;
    void onHandshake(const asio::error_code& ec);
    void onTransportReady();
    void startRead();
    void onRead(const asio::error_code& ec, std::size_t count);
    void resumeReading();
    void startWrite();
    void onWritten(const asio::error_code& ec);
    void beginShutdown();
    void finishSending();
    void closeSocket();
    void fail(Error error);
    asio::ip::tcp::socket& lowestLayer();

    const std::string host_;
    const std::uint32_t port_;

    mutable std::mutex mutex_;
    std::array<SideState, 2> sides_;
    std::optional<TLSSettings> tls_;
    std::optional<ProxySettings> proxy_;
    std::weak_ptr<RunLoop> ioLoop_;
    bool started_ = false;
    bool connected_ = false;
    bool failed_ = false;
    bool closing_ = false;  // both streams closed; flushing before the socket goes
    std::optional<Error> error_;
    std::vector<Data> peerChain_;
    Data inbound_;
    std::size_t readOffset_ = 0;
    bool readPaused_ = false;
    bool peerEnded_ = false;
    bool endDelivered_ = false;
    bool bytesEventPending_ = false;  // one HasBytesAvailable at a time is queued
    Data outbound_;
    std::size_t inFlight_ = 0;
    bool writing_ = false;
    bool writeKickPending_ = false;

    // Touched by the I/O thread only.
    bool shutDown_ = false;
    bool draining_ = false;  // our side has ended; waiting for the peer's end before closing
    bool reading_ = false;
    Data writeBuffer_;  // the bytes of the write in flight
    std::optional<ProxySettings> viaProxy_;           // the proxy_ in force since `start`
    std::unique_ptr<ProxyAnswerReader> proxyAnswer_;  // while the tunnel is being set up
    std::array<std::uint8_t, 64 * 1024> readBuffer_{};
    // The loop whose context the resolver and sockets below belong to: it must outlive them.
    std::shared_ptr<RunLoop> contextLoop_;
    std::unique_ptr<asio::ip::tcp::resolver> resolver_;
    std::unique_ptr<asio::ssl::context> sslContext_;
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket>> tlsStream_;
    std::unique_ptr<asio::ip::tcp::socket> plainSocket_;
    std::unique_ptr<asio::steady_timer> lingerTimer_;
};

}  // namespace varen::platform::detail
