#include "Platform/Net/SocketConnection.h"

#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <asio/connect.hpp>
#include <asio/error.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/ssl/error.hpp>
#include <asio/write.hpp>

#include "Platform/Net/TLS.h"
#include "Platform/Threads/RunLoopAccess.h"

namespace varen::platform::detail {

namespace {

Error systemError(int number) {
    return Error::withDescription(kStreamErrorDomain, number, std::strerror(number));
}

// Resolver failures as the getaddrinfo codes and texts of the system.
Error resolveError(const asio::error_code& ec) {
    int code = 0;
    if (ec == asio::error::host_not_found) {
        code = EAI_NONAME;
    } else if (ec == asio::error::host_not_found_try_again) {
        code = EAI_AGAIN;
    } else if (ec == asio::error::service_not_found) {
        code = EAI_SERVICE;
    } else if (ec.category() == asio::error::get_addrinfo_category()) {
        code = ec.value();
    } else {
        return Error::withDescription(kStreamErrorDomain, ec.value(), ec.message());
    }
    return Error::withDescription(kStreamErrorDomain, code, gai_strerror(code));
}

bool isEndOfStream(const asio::error_code& ec) {
    // A TLS peer that closes without close_notify ends the stream just the same; the protocols
    // above have their own closing handshakes.
    return ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
}

}  // namespace

SocketConnection::SocketConnection(std::string host, std::uint32_t port)
    : host_(std::move(host)), port_(port) {}

SocketConnection::~SocketConnection() = default;

void SocketConnection::attach(StreamSide side, std::weak_ptr<Stream> stream) {
    std::lock_guard lock(mutex_);
    state(side).stream = std::move(stream);
}

// ---- Entry points (any thread) -------------------------------------------------------------

void SocketConnection::open(StreamSide side) {
    bool startNow = false;
    bool announce = false;
    bool announceError = false;
    {
        std::lock_guard lock(mutex_);
        SideState& s = state(side);
        if (s.closed || s.status != StreamStatus::NotOpen) return;
        if (failed_) {
            s.status = StreamStatus::Error;
            announceError = true;
        } else if (connected_) {
            s.status = StreamStatus::Open;
            announce = true;
        } else {
            s.status = StreamStatus::Opening;
        }
        if (!started_) {
            started_ = true;
            startNow = true;
            // I/O runs on the output stream's loop, else the input's, else the caller's.
            std::shared_ptr<RunLoop> loop = state(StreamSide::Output).loop.lock();
            if (!loop) loop = state(StreamSide::Input).loop.lock();
            if (!loop) {
                loop = RunLoop::current();
                s.loop = loop;
            }
            ioLoop_ = loop;
        }
    }
    if (startNow) postToIO(&SocketConnection::start);
    if (announceError) deliver(side, StreamEvent::ErrorOccurred);
    if (announce) {
        deliver(side, StreamEvent::OpenCompleted);
        deliver(side, side == StreamSide::Output ? StreamEvent::HasSpaceAvailable
                                                 : StreamEvent::HasBytesAvailable);
    }
}

void SocketConnection::close(StreamSide side) {
    bool shutDownNow = false;
    {
        std::lock_guard lock(mutex_);
        SideState& s = state(side);
        if (s.closed) return;
        s.closed = true;
        s.status = StreamStatus::Closed;
        s.delegate.reset();
        if (state(StreamSide::Input).closed && state(StreamSide::Output).closed && !closing_) {
            closing_ = true;
            shutDownNow = started_;
        }
    }
    if (shutDownNow) postToIO(&SocketConnection::beginShutdown);
}

void SocketConnection::setDelegate(StreamSide side, std::weak_ptr<StreamDelegate> delegate) {
    std::lock_guard lock(mutex_);
    if (!state(side).closed) state(side).delegate = std::move(delegate);
}

void SocketConnection::schedule(StreamSide side, std::shared_ptr<RunLoop> loop) {
    std::lock_guard lock(mutex_);
    state(side).loop = std::move(loop);
}

void SocketConnection::unschedule(StreamSide side, const std::shared_ptr<RunLoop>& loop) {
    std::lock_guard lock(mutex_);
    if (state(side).loop.lock() == loop) state(side).loop.reset();
}

StreamStatus SocketConnection::status(StreamSide side) const {
    std::lock_guard lock(mutex_);
    return state(side).status;
}

std::optional<Error> SocketConnection::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void SocketConnection::setTLSSettings(const TLSSettings& settings) {
    std::lock_guard lock(mutex_);
    if (!started_) tls_ = settings;
}

void SocketConnection::setProxySettings(const ProxySettings& settings) {
    std::lock_guard lock(mutex_);
    if (!started_) proxy_ = settings;
}

std::vector<Data> SocketConnection::peerCertificateChain() const {
    std::lock_guard lock(mutex_);
    return peerChain_;
}

bool SocketConnection::hasBytesAvailable() const {
    std::lock_guard lock(mutex_);
    const SideState& s = state(StreamSide::Input);
    return !s.closed && !failed_ && unreadLocked() > 0;
}

long SocketConnection::read(std::uint8_t* buffer, std::size_t maxLength) {
    bool poke = false;
    bool resignal = false;
    long count = 0;
    {
        std::lock_guard lock(mutex_);
        const SideState& s = state(StreamSide::Input);
        if (failed_ || s.closed || s.status == StreamStatus::NotOpen) return -1;
        const std::size_t n = std::min(maxLength, unreadLocked());
        if (n > 0) std::memcpy(buffer, inbound_.data() + readOffset_, n);
        readOffset_ += n;
        // Compact once the consumed front outweighs what is left.
        if (readOffset_ == inbound_.size()) {
            inbound_.clear();
            readOffset_ = 0;
        } else if (readOffset_ > inbound_.size() / 2) {
            inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<long>(readOffset_));
            readOffset_ = 0;
        }
        count = static_cast<long>(n);
        // A reader that left bytes behind hears of them again, as no new arrival may come.
        if (unreadLocked() > 0 && !bytesEventPending_) {
            bytesEventPending_ = true;
            resignal = true;
        }
        // The I/O thread resumes a paused read or announces an end that waited for this drain.
        poke = (readPaused_ && unreadLocked() <= kInboundHighWater) ||
               (peerEnded_ && !endDelivered_ && unreadLocked() == 0);
    }
    if (poke) postToIO(&SocketConnection::resumeReading);
    if (resignal) deliver(StreamSide::Input, StreamEvent::HasBytesAvailable);
    return count;
}

bool SocketConnection::hasSpaceAvailable() const {
    std::lock_guard lock(mutex_);
    const SideState& s = state(StreamSide::Output);
    return !s.closed && !failed_ && s.status == StreamStatus::Open &&
           outbound_.size() + inFlight_ < kOutboundCapacity;
}

long SocketConnection::write(const std::uint8_t* bytes, std::size_t length) {
    bool kick = false;
    long count = 0;
    {
        std::lock_guard lock(mutex_);
        const SideState& s = state(StreamSide::Output);
        if (failed_ || s.closed || s.status == StreamStatus::NotOpen) return -1;
        // Nothing is taken before the connection is up, so a close while connecting loses
        // nothing that was reported as written.
        if (!connected_) return 0;
        const std::size_t used = outbound_.size() + inFlight_;
        const std::size_t n =
            std::min(length, kOutboundCapacity - std::min(used, kOutboundCapacity));
        outbound_.insert(outbound_.end(), bytes, bytes + n);
        count = static_cast<long>(n);
        if (n > 0 && !writing_ && !writeKickPending_) {
            writeKickPending_ = true;
            kick = true;
        }
    }
    if (kick) startWriteSoon();
    return count;
}

bool SocketConnection::hasBytesWaitingToBeSent() const {
    std::lock_guard lock(mutex_);
    return !failed_ && (writing_ || !outbound_.empty());
}

// ---- Event delivery ------------------------------------------------------------------------

void SocketConnection::postToIO(void (SocketConnection::*step)()) {
    std::shared_ptr<RunLoop> loop;
    {
        std::lock_guard lock(mutex_);
        loop = ioLoop_.lock();
    }
    if (!loop || RunLoopAccess::retired(*loop)) return;
    // The posted step holds the connection alive until it has run.
    asio::post(RunLoopAccess::context(*loop), [self = shared_from_this(), step] { ((*self).*step)(); });
}

// A writer already on the I/O thread starts the send itself: a posted kick would cost a turn of
// the loop (and an extra poll of the sockets) per message.
void SocketConnection::startWriteSoon() {
    if (onIOThread()) {
        startWrite();
    } else {
        postToIO(&SocketConnection::startWrite);
    }
}

bool SocketConnection::onIOThread() const {
    std::shared_ptr<RunLoop> loop;
    {
        std::lock_guard lock(mutex_);
        loop = ioLoop_.lock();
    }
    return loop && !RunLoopAccess::retired(*loop) &&
           RunLoopAccess::context(*loop).get_executor().running_in_this_thread();
}

void SocketConnection::deliverFromIO(StreamSide side, StreamEvent event) {
    deliver(side, event, true);
}

void SocketConnection::deliver(StreamSide side, StreamEvent event, bool fromIOCompletion) {
    std::shared_ptr<RunLoop> loop;
    {
        std::lock_guard lock(mutex_);
        // A closed or unscheduled stream receives no events.
        if (!state(side).closed) loop = state(side).loop.lock();
        if (!loop) {
            if (event == StreamEvent::HasBytesAvailable) bytesEventPending_ = false;
            return;
        }
    }
    // Posted, so that an event never arrives inside a call into the streams, and events to one
    // loop keep their order. An I/O completion on the stream's own loop calls no stream and runs
    // after everything posted before it, so it delivers at once.
    if (RunLoopAccess::retired(*loop)) return;
    auto& context = RunLoopAccess::context(*loop);
    if (fromIOCompletion && context.get_executor().running_in_this_thread()) {
        dispatchEvent(side, event);
        return;
    }
    asio::post(RunLoopAccess::context(*loop),
               [self = shared_from_this(), side, event] { self->dispatchEvent(side, event); });
}

void SocketConnection::dispatchEvent(StreamSide side, StreamEvent event) {
    std::shared_ptr<StreamDelegate> delegate;
    std::shared_ptr<Stream> stream;
    {
        std::lock_guard lock(mutex_);
        SideState& s = state(side);
        if (event == StreamEvent::HasBytesAvailable) bytesEventPending_ = false;
        if (s.closed) return;
        delegate = s.delegate.lock();
        stream = s.stream.lock();
    }
    if (delegate && stream) delegate->streamHandleEvent(*stream, event);
}

// ---- I/O thread ----------------------------------------------------------------------------

asio::ip::tcp::socket& SocketConnection::lowestLayer() {
    return tlsStream_ ? tlsStream_->next_layer() : *plainSocket_;
}

void SocketConnection::start() {
    if (shutDown_) return;
    std::shared_ptr<RunLoop> loop = ioLoop_.lock();
    if (!loop) return;
    if (port_ == 0 || port_ > 65535) {
        fail(systemError(EINVAL));
        return;
    }
    {
        std::lock_guard lock(mutex_);
        viaProxy_ = proxy_;
    }
    const std::string host = viaProxy_ ? viaProxy_->host : host_;
    const std::uint32_t port = viaProxy_ ? viaProxy_->port : port_;
    if (port == 0 || port > 65535) {
        fail(connectFailure(systemError(EINVAL)));
        return;
    }
    contextLoop_ = loop;
    resolver_ = std::make_unique<asio::ip::tcp::resolver>(RunLoopAccess::context(*loop));
    resolver_->async_resolve(
        host, std::to_string(port),
        [self = shared_from_this()](const asio::error_code& ec,
                                    const asio::ip::tcp::resolver::results_type& results) {
            self->onResolved(ec, results);
        });
}

void SocketConnection::onResolved(const asio::error_code& ec,
                                  const asio::ip::tcp::resolver::results_type& results) {
    if (shutDown_) return;
    if (ec) {
        fail(connectFailure(resolveError(ec)));
        return;
    }
    std::shared_ptr<RunLoop> loop = ioLoop_.lock();
    if (!loop) return;
    std::optional<TLSSettings> tls;
    {
        std::lock_guard lock(mutex_);
        tls = tls_;
    }
    if (tls) {
        auto context = makeTLSClientContext(*tls);
        if (!context) {
            fail(context.error());
            return;
        }
        sslContext_ = std::move(*context);
        tlsStream_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket>>(RunLoopAccess::context(*loop),
                                                                                *sslContext_);
        const std::string name = tls->peerName.empty() ? host_ : tls->peerName;
        if (auto configured = configureTLSSession(tlsStream_->native_handle(), *tls, name);
            !configured) {
            fail(configured.error());
            return;
        }
    } else {
        plainSocket_ = std::make_unique<asio::ip::tcp::socket>(RunLoopAccess::context(*loop));
    }
    asio::async_connect(
        lowestLayer(), results,
        [self = shared_from_this()](const asio::error_code& ec, const asio::ip::tcp::endpoint&) {
            self->onConnected(ec);
        });
}

void SocketConnection::onConnected(const asio::error_code& ec) {
    if (shutDown_) return;
    if (ec) {
        fail(connectFailure(Error::withDescription(kStreamErrorDomain, ec.value(), ec.message())));
        return;
    }
    // Small frames go out at once rather than waiting for the peer's acknowledgement.
    asio::error_code ignored;
    lowestLayer().set_option(asio::ip::tcp::no_delay(true), ignored);
    if (viaProxy_) {
        requestTunnel();
    } else {
        startSession();
    }
}

// A failure to reach the first hop: with a proxy, the error names the proxy.
Error SocketConnection::connectFailure(Error cause) const {
    return viaProxy_ ? proxyUnreachableError(*viaProxy_, cause) : std::move(cause);
}

// The proxy is asked for a tunnel to our host and port; its answer is read on the bare TCP
// socket, so TLS starts only inside an established tunnel.
void SocketConnection::requestTunnel() {
    writeBuffer_ = proxyConnectRequest(*viaProxy_, host_, port_);
    proxyAnswer_ = std::make_unique<ProxyAnswerReader>(*viaProxy_);
    asio::async_write(lowestLayer(), asio::buffer(writeBuffer_),
                      [self = shared_from_this()](const asio::error_code& ec, std::size_t) {
                          self->onTunnelRequested(ec);
                      });
}

void SocketConnection::onTunnelRequested(const asio::error_code& ec) {
    writeBuffer_.clear();
    if (shutDown_ || ec == asio::error::operation_aborted) return;
    if (ec) {
        fail(proxyBrokenError(*viaProxy_, ec.value(), ec.message()));
        return;
    }
    readTunnelAnswer();
}

void SocketConnection::readTunnelAnswer() {
    // Never more than the answer may hold: what follows its head is not ours to take.
    lowestLayer().async_read_some(
        asio::buffer(readBuffer_.data(), std::min(readBuffer_.size(), proxyAnswer_->room())),
        [self = shared_from_this()](const asio::error_code& ec, std::size_t count) {
            self->onTunnelAnswer(ec, count);
        });
}

void SocketConnection::onTunnelAnswer(const asio::error_code& ec, std::size_t count) {
    if (shutDown_ || ec == asio::error::operation_aborted) return;
    using Progress = ProxyAnswerReader::Progress;
    const Progress progress =
        count > 0 ? proxyAnswer_->append(readBuffer_.data(), count) : Progress::NeedMore;
    if (progress == Progress::Failed) {
        fail(*proxyAnswer_->error());
        return;
    }
    if (progress == Progress::Established) {
        proxyAnswer_.reset();
        startSession();
        return;
    }
    if (ec == asio::error::eof) {
        fail(proxyAnswer_->endedEarly());
    } else if (ec) {
        fail(proxyBrokenError(*viaProxy_, ec.value(), ec.message()));
    } else {
        readTunnelAnswer();
    }
}

// The transport to our host is there (directly or through a tunnel): TLS, if any, then ready.
void SocketConnection::startSession() {
    if (!tlsStream_) {
        onTransportReady();
        return;
    }
    tlsStream_->async_handshake(
        asio::ssl::stream_base::client,
        [self = shared_from_this()](const asio::error_code& ec) { self->onHandshake(ec); });
}

void SocketConnection::onHandshake(const asio::error_code& ec) {
    if (shutDown_) return;
    if (ec) {
        fail(tlsError(ec, tlsStream_->native_handle()));
        return;
    }
    std::vector<Data> chain = detail::peerCertificateChain(tlsStream_->native_handle());
    {
        std::lock_guard lock(mutex_);
        peerChain_ = std::move(chain);
    }
    onTransportReady();
}

void SocketConnection::onTransportReady() {
    bool outputOpen = false;
    bool inputOpen = false;
    bool pendingWrite = false;
    {
        std::lock_guard lock(mutex_);
        connected_ = true;
        for (auto side : {StreamSide::Output, StreamSide::Input}) {
            SideState& s = state(side);
            if (!s.closed && s.status == StreamStatus::Opening) {
                s.status = StreamStatus::Open;
                (side == StreamSide::Output ? outputOpen : inputOpen) = true;
            }
        }
        pendingWrite = !outbound_.empty();
    }
    if (outputOpen) deliver(StreamSide::Output, StreamEvent::OpenCompleted);
    if (inputOpen) deliver(StreamSide::Input, StreamEvent::OpenCompleted);
    if (outputOpen) deliver(StreamSide::Output, StreamEvent::HasSpaceAvailable);
    startRead();
    if (pendingWrite) startWrite();
}

void SocketConnection::startRead() {
    if (shutDown_ || reading_) return;
    if (draining_) {
        bool ended = false;
        {
            std::lock_guard lock(mutex_);
            ended = peerEnded_ || failed_;
        }
        if (ended) {
            closeSocket();
            return;
        }
    } else {
        std::lock_guard lock(mutex_);
        if (failed_ || peerEnded_) return;
        if (state(StreamSide::Input).closed || unreadLocked() > kInboundHighWater) {
            readPaused_ = true;
            return;
        }
        readPaused_ = false;
    }
    reading_ = true;
    auto handler = [self = shared_from_this()](const asio::error_code& ec, std::size_t count) {
        self->onRead(ec, count);
    };
    if (tlsStream_) {
        tlsStream_->async_read_some(asio::buffer(readBuffer_), std::move(handler));
    } else {
        plainSocket_->async_read_some(asio::buffer(readBuffer_), std::move(handler));
    }
}

void SocketConnection::onRead(const asio::error_code& ec, std::size_t count) {
    reading_ = false;
    if (shutDown_) return;
    if (draining_) {
        // Nobody reads any more; what arrives is dropped until the peer ends.
        if (ec) {
            closeSocket();
        } else {
            startRead();
        }
        return;
    }
    if (count > 0) {
        bool announce = false;
        {
            std::lock_guard lock(mutex_);
            inbound_.insert(inbound_.end(), readBuffer_.begin(),
                            readBuffer_.begin() + static_cast<long>(count));
            // A queued HasBytesAvailable will find these bytes too.
            announce = !bytesEventPending_;
            bytesEventPending_ = true;
        }
        if (announce) deliverFromIO(StreamSide::Input, StreamEvent::HasBytesAvailable);
    }
    if (!ec) {
        startRead();
        return;
    }
    if (ec == asio::error::operation_aborted) return;
    if (!isEndOfStream(ec)) {
        fail(tlsStream_ && ec.category() == asio::error::get_ssl_category()
                 ? tlsError(ec, nullptr)
                 : Error::withDescription(kStreamErrorDomain, ec.value(), ec.message()));
        return;
    }
    {
        std::lock_guard lock(mutex_);
        peerEnded_ = true;
    }
    resumeReading();
}

// After `read` drained the buffer: reading goes on, or the end that waited is announced.
void SocketConnection::resumeReading() {
    if (shutDown_) return;
    bool announceEnd = false;
    {
        std::lock_guard lock(mutex_);
        if (failed_) return;
        if (peerEnded_ && !endDelivered_ && unreadLocked() == 0) {
            endDelivered_ = true;
            SideState& s = state(StreamSide::Input);
            if (!s.closed) s.status = StreamStatus::AtEnd;
            announceEnd = true;
        }
    }
    if (announceEnd) {
        deliver(StreamSide::Input, StreamEvent::EndEncountered);
        return;
    }
    startRead();
}

void SocketConnection::startWrite() {
    {
        std::lock_guard lock(mutex_);
        writeKickPending_ = false;
        if (shutDown_ || writing_ || failed_ || !connected_ || outbound_.empty()) return;
        writing_ = true;
        writeBuffer_.swap(outbound_);
        outbound_.clear();
        inFlight_ = writeBuffer_.size();
    }
    auto handler = [self = shared_from_this()](const asio::error_code& ec, std::size_t) {
        self->onWritten(ec);
    };
    if (tlsStream_) {
        asio::async_write(*tlsStream_, asio::buffer(writeBuffer_), std::move(handler));
    } else {
        asio::async_write(*plainSocket_, asio::buffer(writeBuffer_), std::move(handler));
    }
}

void SocketConnection::onWritten(const asio::error_code& ec) {
    bool more = false;
    bool closing = false;
    {
        std::lock_guard lock(mutex_);
        writing_ = false;
        inFlight_ = 0;
        more = !outbound_.empty();
        closing = closing_;
    }
    writeBuffer_.clear();
    if (shutDown_ || ec == asio::error::operation_aborted) return;
    if (ec) {
        fail(tlsStream_ && ec.category() == asio::error::get_ssl_category()
                 ? tlsError(ec, nullptr)
                 : Error::withDescription(kStreamErrorDomain, ec.value(), ec.message()));
        return;
    }
    if (more) {
        startWrite();
    } else if (closing) {
        finishSending();
        return;
    }
    deliverFromIO(StreamSide::Output, StreamEvent::HasSpaceAvailable);
}

// Both streams are closed: what `write` accepted still goes out, our side ends, and the socket
// closes once the peer has ended too, all within the linger time. Closing at once could make
// the system reset the connection and discard bytes the peer has not read yet.
void SocketConnection::beginShutdown() {
    if (shutDown_) return;
    bool graceful = false;
    bool flush = false;
    {
        std::lock_guard lock(mutex_);
        graceful = connected_ && !failed_;
        flush = writing_ || !outbound_.empty();
    }
    std::shared_ptr<RunLoop> loop = ioLoop_.lock();
    if (!graceful || !loop) {
        closeSocket();
        return;
    }
    lingerTimer_ = std::make_unique<asio::steady_timer>(RunLoopAccess::context(*loop), kCloseLinger);
    lingerTimer_->async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (!ec) self->closeSocket();
    });
    if (flush) {
        startWrite();  // onWritten goes on to finishSending
    } else {
        finishSending();
    }
}

void SocketConnection::finishSending() {
    if (shutDown_ || draining_) return;
    draining_ = true;
    asio::error_code ignored;
    lowestLayer().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    if (!reading_) startRead();  // a read in flight goes on draining by itself
}

void SocketConnection::closeSocket() {
    if (shutDown_) return;
    shutDown_ = true;
    asio::error_code ignored;
    if (lingerTimer_) lingerTimer_->cancel();
    if (resolver_) resolver_->cancel();
    if (tlsStream_ || plainSocket_) {
        asio::ip::tcp::socket& socket = lowestLayer();
        if (socket.is_open()) {
            socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
        }
    }
}

void SocketConnection::fail(Error error) {
    if (shutDown_) return;
    std::vector<StreamSide> told;
    {
        std::lock_guard lock(mutex_);
        if (failed_) return;
        failed_ = true;
        error_ = std::move(error);
        // Unread input goes with the connection.
        inbound_.clear();
        readOffset_ = 0;
        outbound_.clear();
        for (auto side : {StreamSide::Output, StreamSide::Input}) {
            SideState& s = state(side);
            if (!s.closed && s.status != StreamStatus::NotOpen) {
                s.status = StreamStatus::Error;
                told.push_back(side);
            }
        }
    }
    for (auto side : told) deliver(side, StreamEvent::ErrorOccurred);
    closeSocket();
}

}  // namespace varen::platform::detail
