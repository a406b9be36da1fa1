#include "AudioQueueCapture.h"

#include "varenstt/Platform/AudioInputSource.h"

namespace varen::test {

using namespace platform;

AudioStreamBasicDescription captureFormat() {
    AudioStreamBasicDescription format;
    format.mSampleRate = 8000.0;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = 2;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 2;
    format.mChannelsPerFrame = 1;
    format.mBitsPerChannel = 16;
    return format;
}

CapturedQueue::CapturedQueue(const AudioStreamBasicDescription& format) {
    status = AudioQueueNewInput(&format, &CapturedQueue::callback, this, &queue, &errorText);
}

CapturedQueue::~CapturedQueue() {
    if (queue) AudioQueueDispose(queue, true);
}

std::vector<AudioQueueBufferRef> CapturedQueue::addBuffers(std::size_t count,
                                                           std::uint32_t capacity) {
    std::vector<AudioQueueBufferRef> buffers;
    for (std::size_t i = 0; i < count; ++i) {
        AudioQueueBufferRef buffer = nullptr;
        if (AudioQueueAllocateBuffer(queue, capacity, &buffer) != noErr) break;
        AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr);
        buffers.push_back(buffer);
    }
    return buffers;
}

OSStatus CapturedQueue::start() {
    return AudioQueueStart(queue, nullptr, &errorText);
}

std::vector<Delivery> CapturedQueue::deliveries() const {
    std::lock_guard lock(mutex_);
    return deliveries_;
}

std::size_t CapturedQueue::count() const {
    std::lock_guard lock(mutex_);
    return deliveries_.size();
}

bool CapturedQueue::waitForCount(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return deliveries_.size() >= count; });
}

void CapturedQueue::callback(void* userData, AudioQueueRef queue, AudioQueueBufferRef buffer,
                             const AudioTimeStamp* startTime, std::uint32_t packets,
                             const AudioStreamPacketDescription*) {
    auto* self = static_cast<CapturedQueue*>(userData);
    const auto* data = static_cast<const std::uint8_t*>(buffer->mAudioData);
    std::size_t index;
    {
        std::lock_guard lock(self->mutex_);
        self->deliveries_.push_back(Delivery{buffer, buffer->mAudioDataByteSize, packets,
                                             Data(data, data + buffer->mAudioDataByteSize),
                                             startTime ? startTime->mSampleTime : -1,
                                             std::chrono::steady_clock::now()});
        index = self->deliveries_.size() - 1;
    }
    self->changed_.notify_all();
    if (self->onDelivery) self->onDelivery(index);
    if (self->reenqueue) AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr);
}

PlayOutWatcher::PlayOutWatcher(const CapturedQueue& queue) : queue_(queue) {
    token_ = NotificationCenter::defaultCenter().addObserver(
        AudioInputDidPlayOutNotification, queue.queue, [this](const Notification&) {
            const std::size_t delivered = queue_.count();
            {
                std::lock_guard lock(mutex_);
                ++playOuts_;
                deliveries_ = delivered;
                at_ = std::chrono::steady_clock::now();
                // Under the lock: the waiter may destroy the watcher as soon as it wakes.
                changed_.notify_all();
            }
        });
}

PlayOutWatcher::~PlayOutWatcher() {
    NotificationCenter::defaultCenter().removeObserver(token_);
}

bool PlayOutWatcher::waitForPlayOut(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return playOuts_ > 0; });
}

std::size_t PlayOutWatcher::playOuts() const {
    std::lock_guard lock(mutex_);
    return playOuts_;
}

std::size_t PlayOutWatcher::deliveriesBeforePlayOut() const {
    std::lock_guard lock(mutex_);
    return deliveries_;
}

std::chrono::steady_clock::time_point PlayOutWatcher::playedOutAt() const {
    std::lock_guard lock(mutex_);
    return at_;
}

}  // namespace varen::test
