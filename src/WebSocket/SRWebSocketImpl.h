#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/HTTP/HTTPMessage.h"
#include "Platform/Net/Streams.h"
#include "WebSocket/SRFraming.h"
#include "WebSocket/SRHandshakeHelpers.h"
#include "WebSocket/SRIOConsumer.h"
#include "varenstt/SRWebSocket.h"

namespace varen {

// Receives both streams' events for a socket and forwards them while the socket exists.
class SRStreamDelegateAdapter : public platform::StreamDelegate {
  public:
    explicit SRStreamDelegateAdapter(std::weak_ptr<SRWebSocket> socket)
        : socket_(std::move(socket)) {}
    void streamHandleEvent(platform::Stream& stream, platform::StreamEvent event) override;

    // A socket's implementation, for the library's own files and white-box tests.
    using Impl = SRWebSocket::Impl;
    static Impl& implOf(SRWebSocket& socket);

  private:
    std::weak_ptr<SRWebSocket> socket_;
};

// The state and inner operations of one socket, split over files by concern: the opening
// handshake, streams and lifetime, read consumers, frame writer and closing, frame loop.
//
// Thread safety: everything below "work queue only" is touched only by tasks of `workQueue`
// (checked with `assertOnWorkQueue`). `readyState` and the flags marked atomic are read from
// other threads. The delegate and queue references are guarded by `propertyMutex`; the
// self-reference, the scheduled run loops and the cleanup flag by the socket's recursive lock
// `kvoLock`, which also serialises closing the streams between the network thread and the
// work queue.
struct VARENSTT_LOCAL SRWebSocket::Impl {
    Impl(SRWebSocket& owner, std::shared_ptr<SRURLRequest> request,
         std::optional<std::vector<std::string>> protocols, bool allowsUntrusted);
    ~Impl();

    SRWebSocket& owner;
    std::shared_ptr<SRWebSocket> strongOwner() { return owner.shared_from_this(); }

    // --- construction (caller's thread), constant afterwards
    std::shared_ptr<SRURLRequest> urlRequest;
    URL url;
    std::optional<std::vector<std::string>> requestedProtocols;
    bool secure = false;
    std::int64_t webSocketVersion = kSRProtocolVersion;
    std::shared_ptr<platform::DispatchQueue> workQueue;
    std::shared_ptr<platform::InputStream> inputStream;
    std::shared_ptr<platform::OutputStream> outputStream;
    std::shared_ptr<SRStreamDelegateAdapter> streamDelegate;

    // --- shared between threads
    std::atomic<std::int64_t> readyState{SR_CONNECTING};
    std::atomic<bool> allowsUntrustedSSLCertificates{false};
    std::atomic<std::uint64_t> maximumMessageSize{kSRDefaultMaximumMessageSize};
    std::atomic<std::int64_t> closingHandshakeTimeoutMs{kSRDefaultClosingHandshakeTimeout.count()};
    std::atomic<std::int64_t> pingIntervalMs{0};
    std::atomic<bool> pinnedCertFound{false};
    // Bounded by kSRMaxUndeliveredBytes and kSRMaxUndeliveredItems.
    std::atomic<std::size_t> undeliveredBytes{0};
    std::atomic<std::size_t> undeliveredItems{0};
    std::atomic<bool> readingPausedForDelivery{false};
    // Set by the writer while output waits for stream space (or for the close to finish);
    // without it a stream's space event needs no trip to the work queue.
    std::atomic<bool> outputWaitsForSpace{false};
    mutable std::mutex propertyMutex;
    std::weak_ptr<SRWebSocketDelegate> delegate;
    std::shared_ptr<platform::DispatchQueue> delegateDispatchQueue;
    std::shared_ptr<platform::OperationQueue> delegateOperationQueue;
    std::optional<std::string> protocol;
    std::vector<SRHTTPCookie> requestCookies;
    std::optional<SRHTTPResponse> receivedHTTPHeaders;
    std::optional<URL> proxyURL;

    std::recursive_mutex kvoLock;
    std::shared_ptr<SRWebSocket> selfRetain;
    bool cleanupScheduled = false;
    std::vector<std::pair<std::shared_ptr<platform::RunLoop>, std::string>> scheduledRunloops;

    // Messages sent since their drain task was queued. A send queues a drain task only when
    // none is waiting; whatever is sent until it runs leaves with it, as one task and one stream
    // write, in the order sent. No timer is involved, so nothing waits.
    // A batch held by a `SendBurst` is queued when the burst ends, or earlier when a ping or
    // close seals it.
    struct OutgoingBatch {
        std::vector<SRMessage> messages;
        bool queued = false;
    };
    std::mutex outgoingMutex;
    std::shared_ptr<OutgoingBatch> outgoingBatch;
    // The batches started on the calling thread while a send burst is open there.
    struct HeldBatches {
        int openBursts = 0;
        std::vector<std::pair<std::shared_ptr<SRWebSocket>, std::shared_ptr<OutgoingBatch>>>
            batches;
    };
    static HeldBatches& heldBatches();

    // --- work queue only
    std::string secKey;
    std::string basicAuthorizationString;
    std::optional<platform::HTTPMessage> receivedResponse;
    bool failed = false;
    bool sentClose = false;
    bool closeWhenFinishedWriting = false;
    // Nothing leaves before the upgrade request; nothing is queued after our close frame.
    bool upgradeRequestQueued = false;
    bool closeFrameQueued = false;
    bool loggedFrameAfterClose = false;
    bool maskingKeysFailed = false;
    // Input that nobody will parse any more (a protocol error, a failure, the end of the
    // connection under way) is read and dropped, never buffered.
    bool inputAbandoned = false;
    bool readDeferredForScanner = false;

    Data _readBuffer;
    std::size_t _readBufferOffset = 0;
    std::deque<std::unique_ptr<SRIOConsumer>> _consumers;
    SRIOConsumerPool _consumerPool;
    bool _isPumping = false;
    Data _currentFrameData;
    std::uint8_t _currentFrameOpcode = 0;
    std::uint64_t _currentFrameCount = 0;
    std::uint32_t _currentStringScanPosition = 0;
    std::array<std::uint8_t, 4> _currentReadMaskKey{};
    std::uint64_t _currentReadMaskOffset = 0;

    SRMaskingKeys _maskingKeys;
    Data _outputBuffer;
    std::size_t _outputBufferOffset = 0;
    std::int32_t _closeCode = 0;
    std::optional<std::string> _closeReason;
    // Keep-alive: when bytes last arrived, and when our unanswered ping left.
    std::chrono::steady_clock::time_point lastReceivedAt{};
    std::optional<std::chrono::steady_clock::time_point> pingSentAt;

    // --- public surface and delivery (SRWebSocket.cpp)
    void setReadyState(SRReadyState state);
    // Delivers a delegate call on the operation queue when set, else the dispatch queue. The
    // block keeps the socket alive until it has run and reads the weak delegate then.
    void _performDelegateBlock(std::function<void(SRWebSocket&, SRWebSocketDelegate&)> block);
    std::shared_ptr<SRWebSocketDelegate> currentDelegate() const;
    // Runs a block on the delegate queue whether or not a delegate is set.
    void _performDelegateBlockUnconditionally(std::function<void(SRWebSocket&)> block);
    // The delegate's dispatch queue (the main queue unless the host chose another).
    std::shared_ptr<platform::DispatchQueue> delegateQueue() const;
    // Hands the delegate something the peer sent, counted until it has run (see the bounds).
    void _deliverIncoming(std::size_t bytes, std::function<void(SRWebSocket&)> block);
    bool deliveryBacklogFull() const {
        return undeliveredItems.load() > kSRMaxUndeliveredItems ||
               undeliveredBytes.load() > kSRMaxUndeliveredBytes;
    }
    // Work queue: stops reading until the delegate has caught up; false when it need not.
    bool pauseForDelivery();

    // --- opening handshake (SRWebSocketHandshake.cpp)
    void open();
    void didConnect();
    void _readHTTPHeader();
    void _HTTPHeadersDidFinish();
    bool _checkHandshake(const platform::HTTPMessage& response) const;

    // --- streams and lifetime (SRWebSocketStreams.cpp)
    void _initializeStreams();
    void openConnection();
    void _updateSecureStreamOptions();
    bool applyProxySettings();
    void setupNetworkServiceType(SRURLRequestNetworkServiceType type);
    void scheduleInRunLoopForMode(std::shared_ptr<platform::RunLoop> loop, const std::string& mode);
    void unscheduleFromRunLoopForMode(const std::shared_ptr<platform::RunLoop>& loop,
                                      const std::string& mode);
    void streamHandleEvent(platform::Stream& stream, platform::StreamEvent event);
    void safeHandleEventStream(platform::StreamEvent event,
                               const std::shared_ptr<platform::Stream>& stream);
    void _failWithError(Error error);
    // With `keepReading` the frame in hand is still read to its end.
    void _closeWithProtocolError(std::string message, bool keepReading = false);
    void readAvailableBytes();
    bool inputIsDropped() const { return inputAbandoned || failed || closeWhenFinishedWriting; }
    void _scheduleCleanup();
    void _cleanupSelfReference();
    void assertOnWorkQueue() const;

    // --- read consumers (SRWebSocketReader.cpp)
    void _addConsumerWithScannerCallback(SRIOConsumer::Scanner scanner,
                                         SRIOConsumer::Handler callback);
    void _addConsumerWithScannerCallbackDataLength(SRIOConsumer::Scanner scanner,
                                                   SRIOConsumer::Handler callback,
                                                   std::uint64_t dataLength);
    void _addConsumerWithDataLengthCallbackReadToCurrentFrameUnmaskBytes(
        std::uint64_t dataLength, SRIOConsumer::Handler callback, bool readToCurrentFrame,
        bool unmaskBytes);
    void _readUntilBytesLengthCallback(const std::uint8_t* bytes, std::size_t length,
                                       SRIOConsumer::Handler callback);
    void _readUntilHeaderCompleteWithCallback(SRIOConsumer::Handler callback);
    void _pumpScanner();
    bool _innerPumpScanner();
    std::size_t bytesFoundBy(const SRIOConsumer& consumer, std::size_t available) const;
    Data takeReadBytes(std::size_t count);
    bool appendToCurrentFrame(const Data& slice);
    void finishFrontConsumer(const Data* slice);

    // --- writer and closing handshake (SRWebSocketWriter.cpp)
    void send(std::optional<SRMessage> message);
    void sendPing(Data data);
    void closeWithCodeReason(std::int64_t code, std::optional<std::string> reason);
    void _sendFrameWithOpcodeData(std::uint8_t opcode, const std::uint8_t* bytes,
                                  std::size_t length);
    void _writeData(const Data& data);
    void sealOutgoingBatch();
    void queueBatch(std::shared_ptr<OutgoingBatch> batch);
    void _sendBatch(OutgoingBatch& batch);
    bool _queueFrame(std::uint8_t opcode, const std::uint8_t* bytes, std::size_t length);
    void _pumpWriting();
    void closeConnection();
    void armClosingHandshakeDeadline();
    // Closes both streams and stops their events; under the socket's lock.
    void closeStreams();

    // --- keep-alive (SRWebSocketKeepAlive.cpp)
    void startKeepAlive();
    void checkKeepAlive();
    void armKeepAliveCheck(std::chrono::steady_clock::duration delay);
    void noteBytesReceived() {
        if (pingIntervalMs.load() > 0) lastReceivedAt = std::chrono::steady_clock::now();
    }

    // --- frame loop (SRWebSocketFrameLoop.cpp)
    void _readFrameNew();
    void _readFrameContinue();
    void _handleFrameHeaderStart(const Data& bytes);
    void _handleFrameHeader(const SRFrameHeaderStart& header, std::uint64_t payloadLength);
    void _handleFrameWithDataOpCode(Data frameData, std::uint8_t opcode);
    void _handleMessage(SRMessage message);
    void handlePing(Data pingData);
    void handlePong(Data pongData);
    void handleCloseWithData(const Data& data);
    void _closeForOversizedMessage();
};

inline SRStreamDelegateAdapter::Impl& SRStreamDelegateAdapter::implOf(SRWebSocket& socket) {
    return *socket.impl_;
}

}  // namespace varen
