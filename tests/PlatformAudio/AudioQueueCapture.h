#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Audio/AudioQueue.h"
#include "varenstt/Platform/Data.h"
#include "varenstt/Platform/NotificationCenter.h"

namespace varen::test {

// The capture format of the library: 8 kHz mono 16-bit signed linear PCM.
platform::AudioStreamBasicDescription captureFormat();

struct Delivery {
    platform::AudioQueueBufferRef buffer = nullptr;
    std::uint32_t byteCount = 0;
    std::uint32_t packetCount = 0;
    Data bytes;
    double sampleTime = 0;
    std::chrono::steady_clock::time_point at;
};

// An input queue that records every callback it receives.
//
// Thread safety: the callback records on the queue's thread; the accessors lock.
class CapturedQueue {
  public:
    explicit CapturedQueue(const platform::AudioStreamBasicDescription& format = captureFormat());
    ~CapturedQueue();

    // Allocates and enqueues buffers of the capacity.
    std::vector<platform::AudioQueueBufferRef> addBuffers(std::size_t count,
                                                          std::uint32_t capacity);
    platform::OSStatus start();

    std::vector<Delivery> deliveries() const;
    std::size_t count() const;
    bool waitForCount(std::size_t count, std::chrono::milliseconds timeout) const;

    platform::OSStatus status = platform::noErr;
    std::string errorText;
    platform::AudioQueueRef queue = nullptr;
    // Enqueue each filled buffer again from the callback.
    std::atomic<bool> reenqueue{true};
    // Runs inside the callback after the delivery is recorded, with its index.
    std::function<void(std::size_t index)> onDelivery;

  private:
    static void callback(void* userData, platform::AudioQueueRef queue,
                         platform::AudioQueueBufferRef buffer,
                         const platform::AudioTimeStamp* startTime, std::uint32_t packets,
                         const platform::AudioStreamPacketDescription* descriptions);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Delivery> deliveries_;
};

// Counts the played-out notifications of one queue and how many deliveries preceded each.
class PlayOutWatcher {
  public:
    explicit PlayOutWatcher(const CapturedQueue& queue);
    ~PlayOutWatcher();
    bool waitForPlayOut(std::chrono::milliseconds timeout) const;
    std::size_t playOuts() const;
    std::size_t deliveriesBeforePlayOut() const;
    std::chrono::steady_clock::time_point playedOutAt() const;

  private:
    const CapturedQueue& queue_;
    platform::NotificationCenter::Token token_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::size_t playOuts_ = 0;
    std::size_t deliveries_ = 0;
    std::chrono::steady_clock::time_point at_;
};

}  // namespace varen::test
