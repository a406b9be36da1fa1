#include "AudioQueueCapture.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "Platform/Audio/AudioLevelTap.h"
#include "varenstt/Platform/AudioInputSource.h"

namespace varen::test {

using namespace platform;

AudioStreamBasicDescription captureFormat() {
    return AudioStreamBasicDescription{8000.0,
                                       kAudioFormatLinearPCM,
                                       kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked,
                                       2,
                                       1,
                                       2,
                                       1,
                                       16};
}

float levelOf(const std::vector<Delivery>& deliveries) {
    double sum = 0;
    std::uint64_t count = 0;
    for (const auto& d : deliveries) {
        for (std::size_t i = 0; i + 1 < d.bytes.size(); i += 2, ++count) {
            std::int16_t sample;
            std::memcpy(&sample, d.bytes.data() + i, 2);
            sum += double(sample) * sample;
        }
    }
    return averagePowerInDecibels(sum, count);
}

bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!predicate()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool threadHasEnded(pid_t thread) {
    return !std::filesystem::exists("/proc/self/task/" + std::to_string(thread));
}

CapturedQueue::CapturedQueue(const AudioStreamBasicDescription& format) {
    status = AudioQueueNewInput(&format, &CapturedQueue::callback, this, &queue, &errorText);
    token_ = NotificationCenter::defaultCenter().addObserver(
        AudioInputDidPlayOutNotification, queue, [this](const Notification&) {
            std::lock_guard lock(mutex_);
            if (playOuts_++ == 0) {
                deliveriesBeforePlayOut_ = deliveries_.size();
                playedOutAt_ = Clock::now();
            }
        });
}

CapturedQueue::~CapturedQueue() {
    if (queue) AudioQueueDispose(queue, true);
    NotificationCenter::defaultCenter().removeObserver(token_);
}

std::vector<AudioQueueBufferRef> CapturedQueue::addBuffers(std::size_t count,
                                                           std::uint32_t capacity) {
    std::vector<AudioQueueBufferRef> buffers(count);
    for (auto& buffer : buffers) {
        AudioQueueAllocateBuffer(queue, capacity, &buffer);
        AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr);
    }
    return buffers;
}

std::vector<Delivery> CapturedQueue::deliveries() const {
    std::lock_guard lock(mutex_);
    return deliveries_;
}

std::size_t CapturedQueue::count() const {
    std::lock_guard lock(mutex_);
    return deliveries_.size();
}

std::size_t CapturedQueue::playOuts() const {
    std::lock_guard lock(mutex_);
    return playOuts_;
}

std::size_t CapturedQueue::deliveriesBeforePlayOut() const {
    std::lock_guard lock(mutex_);
    return deliveriesBeforePlayOut_;
}

Clock::time_point CapturedQueue::playedOutAt() const {
    std::lock_guard lock(mutex_);
    return playedOutAt_;
}

void CapturedQueue::callback(void* userData, AudioQueueRef queue, AudioQueueBufferRef buffer,
                             const AudioTimeStamp* startTime, std::uint32_t packets,
                             const AudioStreamPacketDescription*) {
    auto* self = static_cast<CapturedQueue*>(userData);
    const auto* data = static_cast<const std::uint8_t*>(buffer->mAudioData);
    std::size_t index;
    {
        std::lock_guard lock(self->mutex_);
        self->deliveries_.push_back({buffer, packets, Data(data, data + buffer->mAudioDataByteSize),
                                     startTime->mSampleTime, Clock::now(), ::gettid()});
        index = self->deliveries_.size() - 1;
    }
    if (self->onDelivery) self->onDelivery(index);
    if (self->reenqueue) AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr);
}

}  // namespace varen::test
