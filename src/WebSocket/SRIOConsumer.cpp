#include "WebSocket/SRIOConsumer.h"

#include <cassert>

namespace varen {

void SRIOConsumer::setupWithScannerHandlerBytesNeededReadToCurrentFrameUnmaskBytes(
    Scanner scanner, Handler handler, std::uint64_t bytesNeeded, bool readToCurrentFrame,
    bool unmaskBytes) {
    _scanner = std::move(scanner);
    _handler = std::move(handler);
    _bytesNeeded = bytesNeeded;
    _readToCurrentFrame = readToCurrentFrame;
    _unmaskBytes = unmaskBytes;
    assert((_scanner || _bytesNeeded) && "_scanner || _bytesNeeded");
}

void SRIOConsumer::reset() {
    // Handlers capture state of the socket; an idle consumer must not keep it.
    _scanner = nullptr;
    _handler = nullptr;
    _bytesNeeded = 0;
}

std::unique_ptr<SRIOConsumer>
SRIOConsumerPool::consumerWithScannerHandlerBytesNeededReadToCurrentFrameUnmaskBytes(
    SRIOConsumer::Scanner scanner, SRIOConsumer::Handler handler, std::uint64_t bytesNeeded,
    bool readToCurrentFrame, bool unmaskBytes) {
    std::unique_ptr<SRIOConsumer> consumer;
    if (!_bufferedConsumers.empty()) {
        consumer = std::move(_bufferedConsumers.back());
        _bufferedConsumers.pop_back();
    } else {
        consumer = std::make_unique<SRIOConsumer>();
    }
    consumer->setupWithScannerHandlerBytesNeededReadToCurrentFrameUnmaskBytes(
        std::move(scanner), std::move(handler), bytesNeeded, readToCurrentFrame, unmaskBytes);
    return consumer;
}

void SRIOConsumerPool::returnConsumer(std::unique_ptr<SRIOConsumer> consumer) {
    if (_bufferedConsumers.size() < _poolSize) {
        consumer->reset();
        _bufferedConsumers.push_back(std::move(consumer));
    }
}

std::size_t SRScanUntilBytes(const std::uint8_t* bytes, std::size_t length,
                             const std::uint8_t* delimiter, std::size_t delimiterLength) {
    std::size_t j = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (bytes[i] == delimiter[j]) {
            if (++j == delimiterLength) return i + 1;
        } else {
            j = 0;
        }
    }
    return 0;
}

}  // namespace varen
