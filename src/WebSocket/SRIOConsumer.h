#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "varenstt/Platform/Data.h"

namespace varen {

// One pending read of the socket's input: either a scanner that says where its bytes end, or
// a count of bytes. Only ever touched on the owning socket's work queue.
class SRIOConsumer {
  public:
    // Given the unread bytes, how many belong to this consumer; 0: not found yet.
    using Scanner = std::function<std::size_t(const std::uint8_t* bytes, std::size_t length)>;
    // Called once when satisfied; no data for a consumer that reads into the current frame.
    using Handler = std::function<void(const Data* data)>;

    void setupWithScannerHandlerBytesNeededReadToCurrentFrameUnmaskBytes(Scanner scanner,
                                                                         Handler handler,
                                                                         std::uint64_t bytesNeeded,
                                                                         bool readToCurrentFrame,
                                                                         bool unmaskBytes);
    void reset();

    const Scanner& consumer() const { return _scanner; }
    const Handler& handler() const { return _handler; }
    std::uint64_t bytesNeeded() const { return _bytesNeeded; }
    void setBytesNeeded(std::uint64_t n) { _bytesNeeded = n; }
    bool readToCurrentFrame() const { return _readToCurrentFrame; }
    bool unmaskBytes() const { return _unmaskBytes; }

  private:
    Scanner _scanner;
    Handler _handler;
    std::uint64_t _bytesNeeded = 0;
    bool _readToCurrentFrame = false;
    bool _unmaskBytes = false;
};

// A bounded free list of consumers, so that a frame does not allocate two or three of them.
class SRIOConsumerPool {
  public:
    explicit SRIOConsumerPool(std::size_t bufferCapacity = 8) : _poolSize(bufferCapacity) {
        _bufferedConsumers.reserve(bufferCapacity);
    }
    std::unique_ptr<SRIOConsumer>
    consumerWithScannerHandlerBytesNeededReadToCurrentFrameUnmaskBytes(
        SRIOConsumer::Scanner scanner, SRIOConsumer::Handler handler, std::uint64_t bytesNeeded,
        bool readToCurrentFrame, bool unmaskBytes);
    void returnConsumer(std::unique_ptr<SRIOConsumer> consumer);
    std::size_t idleCount() const { return _bufferedConsumers.size(); }

  private:
    std::size_t _poolSize;
    std::vector<std::unique_ptr<SRIOConsumer>> _bufferedConsumers;
};

// The delimiter scanner: the length of the head that ends with the delimiter, 0 when the bytes
// do not hold it yet.
std::size_t SRScanUntilBytes(const std::uint8_t* bytes, std::size_t length,
                             const std::uint8_t* delimiter, std::size_t delimiterLength);

}  // namespace varen
