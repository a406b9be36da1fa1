#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Audio/AudioQueue.h"
#include "varenstt/Platform/Data.h"
#include "varenstt/Platform/NotificationCenter.h"

namespace varen::test {

using Clock = std::chrono::steady_clock;

// The library's capture format: 8 kHz mono 16-bit signed linear PCM.
platform::AudioStreamBasicDescription captureFormat();

struct Delivery {
    platform::AudioQueueBufferRef buffer = nullptr;
    std::uint32_t packetCount = 0;
    Data bytes;
    double sampleTime = 0;
    Clock::time_point at;
    pid_t thread = 0;  // the queue's thread
};

// The average power of the samples in dBFS.
float levelOf(const std::vector<Delivery>& deliveries);

// Polls until the predicate holds or the timeout passes.
bool eventually(const std::function<bool()>& predicate,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// True once the thread (a Linux thread id, as in Delivery) has ended: after that, the input
// queue it ran can call nobody.
bool threadHasEnded(pid_t thread);

// An input queue that records every callback, and the queue's played-out announcements.
//
// Thread safety: the callback and the observer record on the queue's thread; accessors lock.
class CapturedQueue {
  public:
    explicit CapturedQueue(const platform::AudioStreamBasicDescription& format = captureFormat());
    ~CapturedQueue();

    // Allocates and enqueues buffers of the capacity.
    std::vector<platform::AudioQueueBufferRef> addBuffers(std::size_t count,
                                                          std::uint32_t capacity);
    platform::OSStatus start() { return platform::AudioQueueStart(queue, nullptr, &errorText); }

    std::vector<Delivery> deliveries() const;
    std::size_t count() const;
    bool waitForCount(std::size_t n) const {
        return eventually([&] { return count() >= n; });
    }
    // Played-out announcements: how many, and the deliveries before the first one.
    std::size_t playOuts() const;
    std::size_t deliveriesBeforePlayOut() const;
    Clock::time_point playedOutAt() const;

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
    std::vector<Delivery> deliveries_;
    std::size_t playOuts_ = 0;
    std::size_t deliveriesBeforePlayOut_ = 0;
    Clock::time_point playedOutAt_;
    platform::NotificationCenter::Token token_;
};

}  // namespace varen::test
