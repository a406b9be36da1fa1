// Read consumers: the queue of pending reads served from the read buffer.

#include <cassert>

#include "WebSocket/SRUTF8.h"
#include "WebSocket/SRWebSocketImpl.h"

namespace varen {

namespace {
const std::uint8_t CRLFCRLFBytes[] = {'\r', '\n', '\r', '\n'};
}

void SRWebSocket::Impl::_addConsumerWithScannerCallback(SRIOConsumer::Scanner scanner,
                                                        SRIOConsumer::Handler callback) {
    _addConsumerWithScannerCallbackDataLength(std::move(scanner), std::move(callback), 0);
}

void SRWebSocket::Impl::_addConsumerWithScannerCallbackDataLength(SRIOConsumer::Scanner scanner,
                                                                  SRIOConsumer::Handler callback,
                                                                  std::uint64_t dataLength) {
    assertOnWorkQueue();
    _consumers.push_back(
        _consumerPool.consumerWithScannerHandlerBytesNeededReadToCurrentFrameUnmaskBytes(
            std::move(scanner), std::move(callback), dataLength, false, false));
    _pumpScanner();
}

void SRWebSocket::Impl::_addConsumerWithDataLengthCallbackReadToCurrentFrameUnmaskBytes(
    std::uint64_t dataLength, SRIOConsumer::Handler callback, bool readToCurrentFrame,
    bool unmaskBytes) {
    assertOnWorkQueue();
    assert(dataLength && "dataLength");
    _consumers.push_back(
        _consumerPool.consumerWithScannerHandlerBytesNeededReadToCurrentFrameUnmaskBytes(
            nullptr, std::move(callback), dataLength, readToCurrentFrame, unmaskBytes));
    _pumpScanner();
}

void SRWebSocket::Impl::_readUntilBytesLengthCallback(const std::uint8_t* bytes, std::size_t length,
                                                      SRIOConsumer::Handler callback) {
    Data delimiter(bytes, bytes + length);
    _addConsumerWithScannerCallback(
        [delimiter](const std::uint8_t* data, std::size_t available) {
            return SRScanUntilBytes(data, available, delimiter.data(), delimiter.size());
        },
        std::move(callback));
}

void SRWebSocket::Impl::_readUntilHeaderCompleteWithCallback(SRIOConsumer::Handler callback) {
    _readUntilBytesLengthCallback(CRLFCRLFBytes, sizeof CRLFCRLFBytes, std::move(callback));
}

void SRWebSocket::Impl::_pumpScanner() {
    assertOnWorkQueue();
    if (_isPumping) return;
    _isPumping = true;
    while (_innerPumpScanner()) {
    }
    _isPumping = false;
    if (readDeferredForScanner && _readBuffer.size() - _readBufferOffset < kSRMaxUnparsed) {
        readDeferredForScanner = false;
        readAvailableBytes();
    }
}

bool SRWebSocket::Impl::_innerPumpScanner() {
    if (readyState.load() == SR_CLOSED || inputAbandoned) return false;
    if (_consumers.empty()) return false;
    // A delegate far behind stops the parsing too; it resumes once it has caught up.
    if (pauseForDelivery()) return false;
    const std::size_t available = _readBuffer.size() - _readBufferOffset;
    if (available == 0) return false;

    SRIOConsumer& consumer = *_consumers.front();
    const std::size_t found = bytesFoundBy(consumer, available);
    if (found == 0 && !consumer.readToCurrentFrame()) return false;

    Data slice = takeReadBytes(found);
    if (consumer.unmaskBytes()) {
        SRMaskBytes(slice.data(), slice.data(), slice.size(), _currentReadMaskKey,
                    _currentReadMaskOffset);
        _currentReadMaskOffset += slice.size();
    }

    if (consumer.readToCurrentFrame()) {
        if (!appendToCurrentFrame(slice)) return false;
        consumer.setBytesNeeded(consumer.bytesNeeded() - found);
        if (consumer.bytesNeeded() != 0) return false;
        finishFrontConsumer(nullptr);
        return true;
    }
    finishFrontConsumer(&slice);
    return true;
}

// How many of the `available` unparsed bytes the consumer takes now; 0 for none yet.
std::size_t SRWebSocket::Impl::bytesFoundBy(const SRIOConsumer& consumer,
                                            std::size_t available) const {
    if (consumer.consumer()) {
        return consumer.consumer()(_readBuffer.data() + _readBufferOffset, available);
    }
    assert(consumer.bytesNeeded() && "consumer.bytesNeeded");
    if (available >= consumer.bytesNeeded())
        return static_cast<std::size_t>(consumer.bytesNeeded());
    // A counted consumer that delivers to its handler waits until all its bytes are there.
    return consumer.readToCurrentFrame() ? available : 0;
}

// Moves `count` unparsed bytes out of the read buffer, which sheds its parsed front now and then.
Data SRWebSocket::Impl::takeReadBytes(std::size_t count) {
    Data slice(_readBuffer.begin() + static_cast<std::ptrdiff_t>(_readBufferOffset),
               _readBuffer.begin() + static_cast<std::ptrdiff_t>(_readBufferOffset + count));
    _readBufferOffset += count;
    if (_readBufferOffset > kSRBufferCompactionThreshold &&
        _readBufferOffset > _readBuffer.size() / 2) {
        _readBuffer.erase(_readBuffer.begin(),
                          _readBuffer.begin() + static_cast<std::ptrdiff_t>(_readBufferOffset));
        _readBufferOffset = 0;
    }
    return slice;
}

// False, with the connection closing (1007), when a text message stops being valid UTF-8.
bool SRWebSocket::Impl::appendToCurrentFrame(const Data& slice) {
    _currentFrameData.insert(_currentFrameData.end(), slice.begin(), slice.end());
    if (_currentFrameOpcode != SROpCodeTextFrame || _currentFrameData.empty()) return true;
    const auto valid =
        SRValidUTF8PrefixLength(_currentFrameData.data() + _currentStringScanPosition,
                                _currentFrameData.size() - _currentStringScanPosition);
    if (!valid) {
        closeWithCodeReason(SRStatusCodeInvalidUTF8, "Text frames must be valid UTF-8");
        workQueue->async([socket = strongOwner()] { socket->impl_->closeConnection(); });
        return false;
    }
    _currentStringScanPosition += static_cast<std::uint32_t>(*valid);
    return true;
}

// The front consumer is done: it leaves the queue before its handler runs, since the handler
// may add the next consumer.
void SRWebSocket::Impl::finishFrontConsumer(const Data* slice) {
    auto done = std::move(_consumers.front());
    _consumers.pop_front();
    done->handler()(slice);
    _consumerPool.returnConsumer(std::move(done));
}

}  // namespace varen
