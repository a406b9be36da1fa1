// Frame writer, output buffer and the closing handshake.

#include <cassert>
#include <new>
#include <utility>
#include <vector>

#include "WebSocket/SRHandshakeHelpers.h"
#include "WebSocket/SRWebSocketImpl.h"
#include "varenstt/Platform/Log.h"

namespace varen {

SRWebSocket::Impl::HeldBatches& SRWebSocket::Impl::heldBatches() {
    thread_local HeldBatches held;
    return held;
}

SRWebSocket::SendBurst::SendBurst() {
    ++Impl::heldBatches().openBursts;
}

SRWebSocket::SendBurst::~SendBurst() {
    auto& held = Impl::heldBatches();
    if (--held.openBursts > 0) return;
    auto batches = std::move(held.batches);
    held.batches.clear();
    for (auto& [socket, batch] : batches) socket->impl_->queueBatch(std::move(batch));
}

void SRWebSocket::Impl::send(std::optional<SRMessage> message) {
    if (!message) return;
    std::shared_ptr<OutgoingBatch> started;
    {
        std::lock_guard lock(outgoingMutex);
        if (!outgoingBatch) started = outgoingBatch = std::make_shared<OutgoingBatch>();
        outgoingBatch->messages.push_back(std::move(*message));
    }
    if (!started) return;
    if (auto& held = heldBatches(); held.openBursts > 0) {
        held.batches.emplace_back(strongOwner(), std::move(started));
    } else {
        queueBatch(std::move(started));
    }
}

// Queues the batch's drain task, once. Queued under the lock: a thread whose messages joined the
// batch and that then seals it must find its drain task already ahead of the ping or close.
void SRWebSocket::Impl::queueBatch(std::shared_ptr<OutgoingBatch> batch) {
    std::lock_guard lock(outgoingMutex);
    if (std::exchange(batch->queued, true)) return;
    workQueue->async(
        [socket = strongOwner(), batch = std::move(batch)] { socket->impl_->_sendBatch(*batch); });
}

// Called before queueing a ping or a close: later messages go into a batch behind it, and a
// batch still held by a send burst is queued first.
void SRWebSocket::Impl::sealOutgoingBatch() {
    std::shared_ptr<OutgoingBatch> sealed;
    {
        std::lock_guard lock(outgoingMutex);
        sealed = std::exchange(outgoingBatch, nullptr);
    }
    if (sealed) queueBatch(std::move(sealed));
}

void SRWebSocket::Impl::_sendBatch(OutgoingBatch& batch) {
    assertOnWorkQueue();
    std::vector<SRMessage> messages;
    {
        std::lock_guard lock(outgoingMutex);
        if (outgoingBatch.get() == &batch) outgoingBatch.reset();
        messages.swap(batch.messages);
    }
    bool queued = false;
    for (const auto& message : messages) {
        if (const auto* text = std::get_if<std::string>(&message)) {
            queued |=
                _queueFrame(SROpCodeTextFrame, reinterpret_cast<const std::uint8_t*>(text->data()),
                            text->size());
        } else {
            const Data& data = std::get<Data>(message);
            queued |= _queueFrame(SROpCodeBinaryFrame, data.data(), data.size());
        }
    }
    if (queued) _pumpWriting();
}

void SRWebSocket::Impl::sendPing(Data data) {
    sealOutgoingBatch();
    workQueue->async([socket = strongOwner(), data = std::move(data)] {
        socket->impl_->_sendFrameWithOpcodeData(SROpCodePing, data.data(), data.size());
    });
}

void SRWebSocket::Impl::closeWithCodeReason(std::int64_t code, std::optional<std::string> reason) {
    assert(code != 0 && "code");
    sealOutgoingBatch();
    workQueue->async([socket = strongOwner(), code, reason = std::move(reason)] {
        auto& impl = *socket->impl_;
        const auto state = impl.readyState.load();
        if (state == SR_CLOSING || state == SR_CLOSED) return;
        impl.setReadyState(SR_CLOSING);
        impl.armClosingHandshakeDeadline();
        if (state == SR_CONNECTING) {
            // Frames queued before the upgrade request was written can never be sent.
            if (!impl.upgradeRequestQueued) impl._outputBuffer.clear();
            impl.closeConnection();
            return;
        }
        const Data payload = SRClosePayload(code, reason);
        impl._sendFrameWithOpcodeData(SROpCodeConnectionClose, payload.data(), payload.size());
        impl.closeFrameQueued = true;
    });
}

void SRWebSocket::Impl::_sendFrameWithOpcodeData(std::uint8_t opcode, const std::uint8_t* bytes,
                                                 std::size_t length) {
    if (_queueFrame(opcode, bytes, length)) _pumpWriting();
}

// Appends one masked frame to the output buffer; false when nothing was queued.
bool SRWebSocket::Impl::_queueFrame(std::uint8_t opcode, const std::uint8_t* bytes,
                                    std::size_t length) {
    assertOnWorkQueue();
    if (closeWhenFinishedWriting) return false;
    if (closeFrameQueued) {
        // RFC 6455 §5.5.1: nothing may follow our close frame.
        if (!loggedFrameAfterClose) {
            loggedFrameAfterClose = true;
            platform::log(LogLevel::warning,
                          "SRWebSocket: dropping frames sent after the close frame");
        }
        return false;
    }
    if (maskingKeysFailed) return false;
    const auto key = _maskingKeys.next();
    if (!key) {
        // A frame with a guessable key would let the payload steer proxies on the way (RFC 6455
        // §10.3); nothing more is sent and the socket fails.
        maskingKeysFailed = true;
        _failWithError(SRRandomUnavailableError());
        return false;
    }
    try {
        const Data frame = SRBuildFrame(opcode, bytes, length, *key);
        _outputBuffer.insert(_outputBuffer.end(), frame.begin(), frame.end());
    } catch (const std::bad_alloc&) {
        closeWithCodeReason(SRStatusCodeMessageTooBig, "Message too big");
        return false;
    }
    return true;
}

// Queues the upgrade request, its only caller. Frames sent while connecting were held back (see
// _pumpWriting) and follow it.
void SRWebSocket::Impl::_writeData(const Data& data) {
    assertOnWorkQueue();
    if (closeWhenFinishedWriting) return;
    _outputBuffer.insert(_outputBuffer.begin() + static_cast<std::ptrdiff_t>(_outputBufferOffset),
                         data.begin(), data.end());
    upgradeRequestQueued = true;
    _pumpWriting();
}

void SRWebSocket::Impl::_pumpWriting() {
    assertOnWorkQueue();
    const std::size_t unwritten = _outputBuffer.size() - _outputBufferOffset;
    // Raised before writing, so a space event racing with this write is never skipped.
    if (unwritten > 0 || closeWhenFinishedWriting) outputWaitsForSpace.store(true);
    if (unwritten > 0 && upgradeRequestQueued && outputStream->hasSpaceAvailable()) {
        const long written =
            outputStream->write(_outputBuffer.data() + _outputBufferOffset, unwritten);
        if (written == -1) {
            _failWithError(Error::withDescription(
                SRWebSocketErrorDomain, SRWebSocketErrorWriteFailed, "Error writing to stream"));
            return;
        }
        _outputBufferOffset += static_cast<std::size_t>(written);
        if (_outputBufferOffset > kSRBufferCompactionThreshold &&
            _outputBufferOffset > _outputBuffer.size() / 2) {
            _outputBuffer.erase(
                _outputBuffer.begin(),
                _outputBuffer.begin() + static_cast<std::ptrdiff_t>(_outputBufferOffset));
            _outputBufferOffset = 0;
        }
    }
    const auto inputStatus = inputStream->streamStatus();
    // The close is reported only once the stream has handed every byte to the system: a host
    // that exits when it hears the close must not take the close reply down with it.
    if (closeWhenFinishedWriting && _outputBuffer.size() == _outputBufferOffset &&
        !outputStream->hasBytesWaitingToBeSent() &&
        inputStatus != platform::StreamStatus::NotOpen &&
        inputStatus != platform::StreamStatus::Closed && !sentClose) {
        sentClose = true;
        closeStreams();
        if (!failed) {
            // Copied here: the work queue owns these fields, the report runs elsewhere.
            _performDelegateBlock(
                [code = _closeCode, reason = _closeReason](SRWebSocket& s, SRWebSocketDelegate& d) {
                    d.webSocketDidCloseWithCodeReasonWasClean(s, code, reason, true);
                });
        }
        _scheduleCleanup();
    }
    outputWaitsForSpace.store(_outputBuffer.size() > _outputBufferOffset ||
                              (closeWhenFinishedWriting && !sentClose));
}

void SRWebSocket::Impl::closeStreams() {
    std::lock_guard lock(kvoLock);
    outputStream->close();
    inputStream->close();
    const auto loops = scheduledRunloops;
    for (const auto& [loop, mode] : loops) unscheduleFromRunLoopForMode(loop, mode);
}

// A peer that never answers our close, or never reads our last bytes, must not hold the
// connection (and its host) for ever.
void SRWebSocket::Impl::armClosingHandshakeDeadline() {
    const auto timeout = std::chrono::milliseconds(closingHandshakeTimeoutMs.load());
    // Held weakly: a socket that finished meanwhile is gone; one still waiting holds itself.
    workQueue->after(timeout, [weak = owner.weak_from_this()] {
        const auto socket = weak.lock();
        if (!socket) return;
        auto& impl = *socket->impl_;
        if (impl.sentClose || impl.failed || impl.readyState.load() == SR_CLOSED) return;
        impl.sentClose = true;
        impl.inputAbandoned = true;
        impl.closeStreams();
        impl._performDelegateBlock([](SRWebSocket& s, SRWebSocketDelegate& d) {
            d.webSocketDidCloseWithCodeReasonWasClean(s, SRStatusCodeAbnormal,
                                                      "Closing handshake timed out", false);
        });
        impl._scheduleCleanup();
    });
}

void SRWebSocket::Impl::closeConnection() {
    assertOnWorkQueue();
    closeWhenFinishedWriting = true;
    _pumpWriting();
}

}  // namespace varen
