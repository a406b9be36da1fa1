// Frame writer, output buffer and the closing handshake.

#include <cassert>
#include <new>

#include "WebSocket/SRHandshakeHelpers.h"
#include "WebSocket/SRWebSocketImpl.h"

namespace varen {

void SRWebSocket::Impl::send(std::optional<SRMessage> message) {
    if (!message) return;
    workQueue->async([socket = strongOwner(), message = std::move(*message)] {
        auto& impl = *socket->impl_;
        if (const auto* text = std::get_if<std::string>(&message)) {
            impl._sendFrameWithOpcodeData(SROpCodeTextFrame,
                                          reinterpret_cast<const std::uint8_t*>(text->data()),
                                          text->size());
        } else {
            const Data& data = std::get<Data>(message);
            impl._sendFrameWithOpcodeData(SROpCodeBinaryFrame, data.data(), data.size());
        }
    });
}

void SRWebSocket::Impl::sendPing(Data data) {
    workQueue->async([socket = strongOwner(), data = std::move(data)] {
        socket->impl_->_sendFrameWithOpcodeData(SROpCodePing, data.data(), data.size());
    });
}

void SRWebSocket::Impl::closeWithCodeReason(std::int64_t code, std::optional<std::string> reason) {
    assert(code != 0 && "code");
    workQueue->async([socket = strongOwner(), code, reason = std::move(reason)] {
        auto& impl = *socket->impl_;
        const auto state = impl.readyState.load();
        if (state == SR_CLOSING || state == SR_CLOSED) return;
        impl.setReadyState(SR_CLOSING);
        if (state == SR_CONNECTING) {
            impl.closeConnection();
            return;
        }
        const Data payload = SRClosePayload(code, reason);
        impl._sendFrameWithOpcodeData(SROpCodeConnectionClose, payload.data(), payload.size());
    });
}

void SRWebSocket::Impl::_sendFrameWithOpcodeData(std::uint8_t opcode, const std::uint8_t* bytes,
                                                 std::size_t length) {
    assertOnWorkQueue();
    std::array<std::uint8_t, 4> key;
    SRSecureRandomBytes(key.data(), key.size());
    Data frame;
    try {
        frame = SRBuildFrame(opcode, bytes, length, key);
    } catch (const std::bad_alloc&) {
        closeWithCodeReason(SRStatusCodeMessageTooBig, "Message too big");
        return;
    }
    _writeData(frame);
}

void SRWebSocket::Impl::_writeData(const Data& data) {
    assertOnWorkQueue();
    if (closeWhenFinishedWriting) return;
    _outputBuffer.insert(_outputBuffer.end(), data.begin(), data.end());
    _pumpWriting();
}

void SRWebSocket::Impl::_pumpWriting() {
    assertOnWorkQueue();
    const std::size_t unwritten = _outputBuffer.size() - _outputBufferOffset;
    if (unwritten > 0 && outputStream->hasSpaceAvailable()) {
        const long written =
            outputStream->write(_outputBuffer.data() + _outputBufferOffset, unwritten);
        if (written == -1) {
            _failWithError(
                Error::withDescription(SRWebSocketErrorDomain, 2145, "Error writing to stream"));
            return;
        }
        _outputBufferOffset += static_cast<std::size_t>(written);
        if (_outputBufferOffset > 4096 && _outputBufferOffset > _outputBuffer.size() / 2) {
            _outputBuffer.erase(
                _outputBuffer.begin(),
                _outputBuffer.begin() + static_cast<std::ptrdiff_t>(_outputBufferOffset));
            _outputBufferOffset = 0;
        }
    }
    const auto inputStatus = inputStream->streamStatus();
    if (closeWhenFinishedWriting && _outputBuffer.size() == _outputBufferOffset &&
        inputStatus != platform::StreamStatus::NotOpen &&
        inputStatus != platform::StreamStatus::Closed && !sentClose) {
        sentClose = true;
        {
            std::lock_guard lock(kvoLock);
            outputStream->close();
            inputStream->close();
            const auto loops = scheduledRunloops;
            for (const auto& [loop, mode] : loops) unscheduleFromRunLoopForMode(loop, mode);
        }
        if (!failed) {
            // Copied here: the work queue owns these fields, the report runs elsewhere.
            _performDelegateBlock(
                [code = _closeCode, reason = _closeReason](SRWebSocket& s, SRWebSocketDelegate& d) {
                    d.webSocketDidCloseWithCodeReasonWasClean(s, code, reason, true);
                });
        }
        _scheduleCleanup();
    }
}

void SRWebSocket::Impl::closeConnection() {
    assertOnWorkQueue();
    closeWhenFinishedWriting = true;
    _pumpWriting();
}

}  // namespace varen
