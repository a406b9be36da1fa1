// The frame loop: frame headers, payloads, fragmentation and control frames.

#include <cassert>

#include "WebSocket/SRUTF8.h"
#include "WebSocket/SRWebSocketImpl.h"

namespace varen {

void SRWebSocket::Impl::_readFrameNew() {
    workQueue->async([socket = strongOwner()] {
        auto& impl = *socket->impl_;
        impl._currentFrameData.clear();
        impl._currentFrameOpcode = 0;
        impl._currentFrameCount = 0;
        impl._currentStringScanPosition = 0;
        impl._readFrameContinue();
    });
}

void SRWebSocket::Impl::_readFrameContinue() {
    assertOnWorkQueue();
    assert(((_currentFrameCount == 0 && _currentFrameOpcode == 0) ||
            (_currentFrameCount > 0 && _currentFrameOpcode > 0)) &&
           "(_currentFrameCount == 0 && _currentFrameOpcode == 0) || (_currentFrameCount > 0 && "
           "_currentFrameOpcode > 0)");
    _addConsumerWithDataLengthCallbackReadToCurrentFrameUnmaskBytes(
        2, [this](const Data* data) { _handleFrameHeaderStart(*data); }, false, false);
}

void SRWebSocket::Impl::_handleFrameHeaderStart(const Data& data) {
    assert(data.size() >= 2 && "data.length >= 2");
    SRFrameHeaderStart header = SRParseFrameHeaderStart(data[0], data[1]);
    if (header.rsv) {
        _closeWithProtocolError("Server used RSV bits");
        return;
    }
    if (!SRIsControlOpCode(header.opcode)) {
        if (header.opcode != 0) {
            if (_currentFrameCount > 0) {
                _closeWithProtocolError(
                    "all data frames after the initial data frame must have opcode 0");
                return;
            }
        } else {
            if (_currentFrameCount == 0) {
                _closeWithProtocolError("cannot continue a message");
                return;
            }
            header.opcode = _currentFrameOpcode;
        }
    }
    // Reported, but the frame is still read to its end.
    if (header.masked) _closeWithProtocolError("Client must receive unmasked data", true);

    const std::size_t extra = header.extraBytes();
    if (extra == 0) {
        _handleFrameHeader(header, header.lengthCode);
        return;
    }
    _addConsumerWithDataLengthCallbackReadToCurrentFrameUnmaskBytes(
        extra,
        [this, header](const Data* bytes) {
            const SRFrameHeaderRest rest = SRParseFrameHeaderRest(header, bytes->data());
            if (header.masked) {
                _currentReadMaskKey = rest.maskKey;
                _currentReadMaskOffset = 0;
            }
            _handleFrameHeader(header, rest.payloadLength);
        },
        false, false);
}

void SRWebSocket::Impl::_closeForOversizedMessage() {
    // Nothing more is read: the excess is never buffered.
    inputAbandoned = true;
    closeWithCodeReason(SRStatusCodeMessageTooBig, "Message too big");
    workQueue->async([socket = strongOwner()] { socket->impl_->closeConnection(); });
}

void SRWebSocket::Impl::_handleFrameHeader(const SRFrameHeaderStart& header,
                                           std::uint64_t payloadLength) {
    assert(header.opcode != 0 && "frame_header.opcode != 0");
    if (readyState.load() == SR_CLOSED) return;
    const bool control = SRIsControlOpCode(header.opcode);
    if (control && !header.fin) {
        _closeWithProtocolError("Fragmented control frames not allowed");
        return;
    }
    if (control && payloadLength > kSRMaxControlPayload) {
        _closeWithProtocolError("Control frames cannot have payloads larger than 126 bytes");
        return;
    }
    if (!control) {
        const std::uint64_t limit = maximumMessageSize.load();
        const std::uint64_t have = _currentFrameData.size();
        if (payloadLength > limit || have + payloadLength > limit) {
            _closeForOversizedMessage();
            return;
        }
        _currentFrameOpcode = header.opcode;
        _currentFrameCount += 1;
    }
    const std::uint8_t opcode = header.opcode;
    const bool fin = header.fin;
    if (payloadLength > 0) {
        _addConsumerWithDataLengthCallbackReadToCurrentFrameUnmaskBytes(
            payloadLength,
            [this, control, fin, opcode](const Data* data) {
                if (control) {
                    _handleFrameWithDataOpCode(*data, opcode);
                } else if (fin) {
                    _handleFrameWithDataOpCode(std::move(_currentFrameData), opcode);
                } else {
                    _readFrameContinue();
                }
            },
            !control, header.masked);
        return;
    }
    if (control) {
        _handleFrameWithDataOpCode(Data{}, opcode);
    } else if (fin) {
        _handleFrameWithDataOpCode(std::move(_currentFrameData), opcode);
    } else {
        _readFrameContinue();
    }
}

void SRWebSocket::Impl::_handleFrameWithDataOpCode(Data frameData, std::uint8_t opcode) {
    // Keep reading first; both only queue work, so `frameData` is ours before it is reset.
    if (SRIsControlOpCode(opcode)) {
        workQueue->async([socket = strongOwner()] { socket->impl_->_readFrameContinue(); });
    } else {
        _readFrameNew();
    }
    switch (opcode) {
        case SROpCodeTextFrame: {
            auto target = currentDelegate();
            if (target && !target->webSocketShouldConvertTextFrameToString(owner)) {
                _handleMessage(std::move(frameData));
                break;
            }
            if (!SRIsValidUTF8(frameData.data(), frameData.size())) {
                closeWithCodeReason(SRStatusCodeInvalidUTF8, "Text frames must be valid UTF-8");
                workQueue->async([socket = strongOwner()] { socket->impl_->closeConnection(); });
                break;
            }
            _handleMessage(std::string(frameData.begin(), frameData.end()));
            break;
        }
        case SROpCodeBinaryFrame:
            _handleMessage(std::move(frameData));
            break;
        case SROpCodeConnectionClose:
            handleCloseWithData(frameData);
            break;
        case SROpCodePing:
            handlePing(std::move(frameData));
            break;
        case SROpCodePong:
            handlePong(std::move(frameData));
            break;
        default:
            _closeWithProtocolError("Unknown opcode " + std::to_string(opcode));
            break;
    }
}

void SRWebSocket::Impl::_handleMessage(SRMessage message) {
    const std::size_t bytes = std::visit([](const auto& m) { return m.size(); }, message);
    _deliverIncoming(bytes, [message = std::move(message)](SRWebSocket& s) {
        if (auto d = s.delegate()) d->webSocketDidReceiveMessage(s, message);
    });
}

void SRWebSocket::Impl::handlePong(Data pongData) {
    const std::size_t bytes = pongData.size();
    _deliverIncoming(bytes, [pongData = std::move(pongData)](SRWebSocket& s) {
        if (auto d = s.delegate()) d->webSocketDidReceivePong(s, pongData);
    });
}

void SRWebSocket::Impl::handlePing(Data pingData) {
    // Through the delegate queue, so the pong never overtakes a message delivered before it.
    const std::size_t bytes = pingData.size();
    _deliverIncoming(bytes, [pingData = std::move(pingData)](SRWebSocket& s) {
        s.impl_->workQueue->async([socket = s.shared_from_this(), pingData] {
            auto& impl = *socket->impl_;
            // A peer that pings and never reads would otherwise fill our memory with pongs.
            if (impl._outputBuffer.size() - impl._outputBufferOffset > kSRMaxOutputForPongs) return;
            impl._sendFrameWithOpcodeData(SROpCodePong, pingData.data(), pingData.size());
        });
    });
}

void SRWebSocket::Impl::handleCloseWithData(const Data& data) {
    const std::size_t n = data.size();
    if (n == 0) {
        _closeCode = SRStatusNoStatusReceived;
    } else if (n == 1) {
        _closeWithProtocolError("Payload for close must be larger than 2 bytes");
        return;
    } else {
        const std::uint32_t code = (std::uint32_t{data[0]} << 8) | data[1];
        _closeCode = static_cast<std::int32_t>(code);
        if (!SRIsAcceptableCloseCode(code)) {
            _closeWithProtocolError("Cannot have close code of " + std::to_string(code));
            return;
        }
        if (n > 2) {
            if (!SRIsValidUTF8(data.data() + 2, n - 2)) {
                _closeWithProtocolError("Close reason MUST be valid UTF-8");
                return;
            }
            _closeReason = std::string(data.begin() + 2, data.end());
        }
    }
    if (readyState.load() == SR_OPEN) closeWithCodeReason(SRStatusCodeNormal, std::nullopt);
    workQueue->async([socket = strongOwner()] { socket->impl_->closeConnection(); });
}

}  // namespace varen
