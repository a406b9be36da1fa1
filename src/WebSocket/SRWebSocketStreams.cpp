// Streams and lifetime: the stream pair, TLS and pinning, stream events, the failure path,
// cleanup and the work-queue check.

#include <algorithm>
#include <cassert>
#include <cctype>
#include <mutex>

#include "Platform/Foundation/Result.h"
#include "Platform/Security/Security.h"
#include "Platform/Threads/DispatchQueueAccess.h"
#include "WebSocket/SRRunLoopThread.h"
#include "WebSocket/SRWebSocketImpl.h"
#include "varenstt/Platform/Log.h"
#include "varenstt/Platform/Timer.h"

namespace varen {

using platform::Stream;
using platform::StreamEvent;
using platform::StreamStatus;

namespace {

// A pin is honoured only for what the handshake proves. Any server can send a pinned certificate
// (certificates are public); what counts is the leaf, whose key the handshake proved, or a chain
// that verifies from that leaf up to a pinned certificate and names the host.
bool pinnedCertificateIsProven(const std::vector<Data>& chain, const std::vector<Data>& pins,
                               const std::string& host) {
    if (chain.empty()) return false;
    if (std::find(pins.begin(), pins.end(), chain.front()) != pins.end()) return true;
    return platform::chainVerifiesToAnchors(chain, pins, host);
}

constexpr std::uint32_t kHTTPDefaultPort = 80;

// The streams' settings for a proxy URL, or why the URL cannot name a proxy.
Result<platform::ProxySettings> proxySettingsFor(const URL& proxy) {
    std::string scheme = proxy.scheme();
    for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::uint32_t port = proxy.port().value_or(0);
    if (scheme != "http" || proxy.host().empty() || port > 65535) {
        return Error::withDescription(
            SRWebSocketErrorDomain, SRWebSocketErrorProxyFailed,
            "Proxy URL " + proxy.absoluteString() + " is not of the form http://host:port");
    }
    platform::ProxySettings settings;
    settings.host = proxy.host();
    settings.port = port == 0 ? kHTTPDefaultPort : port;
    if (auto user = proxy.user(); user && !user->empty()) {
        settings.user = std::move(user);
        settings.password = proxy.password().value_or("");
    }
    return settings;
}

// A stream's error as the socket reports it: the proxy's failures under the socket's own code,
// everything else unchanged.
Error socketErrorFor(Error streamError) {
    if (streamError.domain != platform::kStreamProxyErrorDomain) return streamError;
    Error error = Error::withDescription(SRWebSocketErrorDomain, SRWebSocketErrorProxyFailed,
                                         streamError.localizedDescription());
    if (const auto status = streamError.userInfo.find(platform::kStreamProxyStatusKey);
        status != streamError.userInfo.end()) {
        error.userInfo[SRHTTPResponseErrorKey] = *status;
    }
    return error;
}

}  // namespace

void SRStreamDelegateAdapter::streamHandleEvent(Stream& stream, StreamEvent event) {
    if (auto socket = socket_.lock()) socket->impl_->streamHandleEvent(stream, event);
}

void SRWebSocket::Impl::_initializeStreams() {
    std::uint32_t port = url.port().value_or(0);
    if (port == 0) port = secure ? kSRDefaultSecurePort : kSRDefaultPort;
    auto pair = platform::createStreamPairWithSocketToHost(url.host(), port);
    inputStream = pair.input;
    outputStream = pair.output;
    streamDelegate = std::make_shared<SRStreamDelegateAdapter>(owner.weak_from_this());
    inputStream->setDelegate(streamDelegate);
    outputStream->setDelegate(streamDelegate);
}

void SRWebSocket::Impl::openConnection() {
    _updateSecureStreamOptions();
    if (!applyProxySettings()) return;
    bool scheduled;
    {
        std::lock_guard lock(kvoLock);
        scheduled = !scheduledRunloops.empty();
    }
    if (!scheduled) scheduleInRunLoopForMode(SR_networkRunLoop(), SRDefaultRunLoopMode);
    outputStream->open();
    inputStream->open();
}

void SRWebSocket::Impl::_updateSecureStreamOptions() {
    if (secure) {
        platform::TLSSettings settings;
        settings.peerName = url.host();
        const auto& pins = urlRequest->SR_SSLPinnedCertificates();
        if (pins && !pins->empty()) settings.validatesCertificateChain = false;
        if (allowsUntrustedSSLCertificates.load()) settings.validatesCertificateChain = false;
        settings.extraTrustedCertificatesPEM = urlRequest->SR_extraTrustedCertificatesPEM();
        outputStream->setTLSSettings(settings);
    }
    inputStream->setDelegate(streamDelegate);
    outputStream->setDelegate(streamDelegate);
    setupNetworkServiceType(urlRequest->networkServiceType());
}

// Hands the proxy, if any, to the streams. False when its URL names no usable proxy: the open
// then fails without touching the network.
bool SRWebSocket::Impl::applyProxySettings() {
    std::optional<URL> proxy;
    {
        std::lock_guard lock(propertyMutex);
        proxy = proxyURL;
    }
    if (!proxy) return true;
    auto settings = proxySettingsFor(*proxy);
    if (!settings) {
        _failWithError(settings.error());
        return false;
    }
    outputStream->setProxySettings(*settings);
    return true;
}

void SRWebSocket::Impl::setupNetworkServiceType(SRURLRequestNetworkServiceType type) {
    // Linux sockets have no service classes to set; only the VoIP notice remains.
    if (type == SRURLRequestNetworkServiceType::VoIP) {
        static std::once_flag once;
        std::call_once(once, [] {
            platform::log(LogLevel::warning,
                          "SRWebSocket: network service type VoIP is deprecated in favor of using "
                          "PushKit for VoIP control");
        });
    }
}

void SRWebSocket::Impl::scheduleInRunLoopForMode(std::shared_ptr<platform::RunLoop> loop,
                                                 const std::string& mode) {
    outputStream->scheduleInRunLoop(loop);
    inputStream->scheduleInRunLoop(loop);
    std::lock_guard lock(kvoLock);
    // The first loop a host schedules the socket in before opening it runs its work queue too,
    // so that the socket's work and its I/O share that loop's thread.
    if (scheduledRunloops.empty() && !selfRetain && loop != SR_networkRunLoop()) {
        workQueue->setSpecific(this, nullptr);
        workQueue = platform::DispatchQueueAccess::createOn(loop);
        workQueue->setSpecific(this, workQueue.get());
    }
    std::pair<std::shared_ptr<platform::RunLoop>, std::string> entry{std::move(loop), mode};
    if (std::find(scheduledRunloops.begin(), scheduledRunloops.end(), entry) ==
        scheduledRunloops.end())
        scheduledRunloops.push_back(std::move(entry));
}

void SRWebSocket::Impl::unscheduleFromRunLoopForMode(const std::shared_ptr<platform::RunLoop>& loop,
                                                     const std::string& mode) {
    outputStream->removeFromRunLoop(loop);
    inputStream->removeFromRunLoop(loop);
    std::lock_guard lock(kvoLock);
    std::erase(scheduledRunloops, std::make_pair(loop, mode));
}

void SRWebSocket::Impl::streamHandleEvent(Stream& stream, StreamEvent event) {
    const bool fromOutput = &stream == outputStream.get();
    const auto& pins = urlRequest->SR_SSLPinnedCertificates();
    if (secure && !pinnedCertFound.load() &&
        (event == StreamEvent::HasBytesAvailable || event == StreamEvent::HasSpaceAvailable) &&
        pins && !pins->empty()) {
        if (!pinnedCertificateIsProven(stream.peerCertificateChain(), *pins, url.host())) {
            workQueue->async([weak = owner.weak_from_this()] {
                if (auto socket = weak.lock()) {
                    socket->impl_->_failWithError(
                        Error::withDescription(SRWebSocketPinningErrorDomain,
                                               SRWebSocketPinningErrorCode, "Invalid server cert"));
                }
            });
            return;
        }
        pinnedCertFound.store(true);
        // Whichever stream sees the match first starts the handshake, once.
        workQueue->async([socket = strongOwner()] { socket->impl_->didConnect(); });
    }
    if (event == StreamEvent::HasSpaceAvailable && !outputWaitsForSpace.load()) return;
    std::shared_ptr<Stream> held = fromOutput ? std::static_pointer_cast<Stream>(outputStream)
                                              : std::static_pointer_cast<Stream>(inputStream);
    workQueue->async([weak = owner.weak_from_this(), event, held] {
        if (auto socket = weak.lock()) socket->impl_->safeHandleEventStream(event, held);
    });
}

void SRWebSocket::Impl::safeHandleEventStream(StreamEvent event,
                                              const std::shared_ptr<Stream>& stream) {
    assertOnWorkQueue();
    switch (event) {
        case StreamEvent::OpenCompleted: {
            const auto state = readyState.load();
            if (state == SR_CLOSING || state == SR_CLOSED) return;
            const auto& pins = urlRequest->SR_SSLPinnedCertificates();
            const bool pinning = secure && pins && !pins->empty();
            if (!pinning && state == SR_CONNECTING && stream == inputStream) didConnect();
            _pumpWriting();
            _pumpScanner();
            break;
        }
        case StreamEvent::HasBytesAvailable:
            readAvailableBytes();
            break;
        case StreamEvent::HasSpaceAvailable:
            _pumpWriting();
            break;
        case StreamEvent::ErrorOccurred:
            _failWithError(socketErrorFor(stream->streamError().value_or(
                Error::withDescription(platform::kStreamErrorDomain, 0, "Stream error"))));
            _readBufferOffset = 0;
            _readBuffer.clear();
            break;
        case StreamEvent::EndEncountered: {
            _pumpScanner();
            if (auto error = stream->streamError()) {
                _failWithError(socketErrorFor(*error));
                break;
            }
            workQueue->async([socket = strongOwner()] {
                auto& impl = *socket->impl_;
                if (impl.readyState.load() != SR_CLOSED) {
                    impl.setReadyState(SR_CLOSED);
                    impl._scheduleCleanup();
                }
                if (!impl.sentClose && !impl.failed) {
                    impl.sentClose = true;
                    impl._performDelegateBlock([](SRWebSocket& s, SRWebSocketDelegate& d) {
                        d.webSocketDidCloseWithCodeReasonWasClean(s, SRStatusCodeGoingAway,
                                                                  "Stream end encountered", false);
                    });
                }
            });
            break;
        }
        default:
            break;
    }
}

// Reads what the stream holds into the read buffer and parses it, unless the delegate is too far
// behind (reading resumes once it catches up) or nobody will parse it any more (then it is
// dropped).
void SRWebSocket::Impl::readAvailableBytes() {
    assertOnWorkQueue();
    if (!inputIsDropped()) {
        if (pauseForDelivery()) return;
        // The frame loop is behind (its next step may still be queued): the stream holds the
        // rest, and TCP makes the peer wait, until the scanner has caught up.
        if (_readBuffer.size() - _readBufferOffset >= kSRMaxUnparsed) {
            readDeferredForScanner = true;
            return;
        }
    }
    std::uint8_t buffer[2048];
    std::size_t taken = 0;
    // A fast peer refills the stream as quickly as it is read; what was read is parsed before
    // more is taken (the stream signals again for what it still holds).
    while (taken < kSRMaxReadBurst && inputStream->hasBytesAvailable()) {
        const long count = inputStream->read(buffer, sizeof buffer);
        if (count > 0) taken += static_cast<std::size_t>(count);
        if (count > 0) noteBytesReceived();
        if (count > 0 && !inputIsDropped())
            _readBuffer.insert(_readBuffer.end(), buffer, buffer + count);
        if (count < 0) {
            const Error fallback = Error::withDescription(platform::kStreamErrorDomain, 0,
                                                          "Error reading from stream");
            _failWithError(socketErrorFor(inputStream->streamError().value_or(fallback)));
            break;
        }
        if (count != static_cast<long>(sizeof buffer)) break;
    }
    _pumpScanner();
}

void SRWebSocket::Impl::_failWithError(Error error) {
    workQueue->async([socket = strongOwner(), error = std::move(error)] {
        auto& impl = *socket->impl_;
        if (impl.readyState.load() == SR_CLOSED) return;
        impl.failed = true;
        impl._performDelegateBlock([error](SRWebSocket& s, SRWebSocketDelegate& d) {
            d.webSocketDidFailWithError(s, error);
        });
        impl.setReadyState(SR_CLOSED);
        impl.closeConnection();
        impl._scheduleCleanup();
    });
}

void SRWebSocket::Impl::_closeWithProtocolError(std::string message, bool keepReading) {
    assertOnWorkQueue();
    if (!keepReading) inputAbandoned = true;
    _performDelegateBlockUnconditionally([message](SRWebSocket& s) {
        s.closeWithCodeReason(SRStatusCodeProtocolError, message);
        s.impl_->workQueue->async(
            [socket = s.shared_from_this()] { socket->impl_->closeConnection(); });
    });
}

void SRWebSocket::Impl::_scheduleCleanup() {
    std::lock_guard lock(kvoLock);
    if (cleanupScheduled) return;
    cleanupScheduled = true;
    // The timer keeps the socket alive until it fires.
    platform::Timer::scheduledTimer(
        std::chrono::seconds(0), false,
        [socket = strongOwner()](platform::Timer&) { socket->impl_->_cleanupSelfReference(); },
        SR_networkRunLoop());
}

void SRWebSocket::Impl::_cleanupSelfReference() {
    {
        std::lock_guard lock(kvoLock);
        inputStream->setDelegate({});
        outputStream->setDelegate({});
        outputStream->close();
        inputStream->close();
    }
    workQueue->async([socket = strongOwner()] {
        std::shared_ptr<SRWebSocket> dropped;
        {
            std::lock_guard lock(socket->impl_->kvoLock);
            dropped = std::move(socket->impl_->selfRetain);
        }
    });
}

void SRWebSocket::Impl::assertOnWorkQueue() const {
    assert(platform::DispatchQueue::getSpecific(this) == workQueue.get() &&
           "must run on the socket's work queue");
}

}  // namespace varen
