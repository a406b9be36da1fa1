#include "Platform/Audio/AudioQueue.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Platform/Audio/AudioLevelTap.h"
#include "Platform/Audio/InputSource.h"
#include "Platform/Runtime.h"
#include "varenstt/Platform/AudioInputSource.h"
#include "varenstt/Platform/NotificationCenter.h"

namespace varen::platform {

namespace {

bool supportedFormat(const AudioStreamBasicDescription& f) {
    return f.mFormatID == kAudioFormatLinearPCM &&
           (f.mFormatFlags & kAudioFormatFlagIsSignedInteger) != 0 &&
           (f.mFormatFlags & (kAudioFormatFlagIsFloat | kAudioFormatFlagIsBigEndian)) == 0 &&
           f.mBitsPerChannel == 16 && f.mChannelsPerFrame == 1 && f.mBytesPerFrame == 2 &&
           f.mFramesPerPacket == 1 && f.mBytesPerPacket == 2 && f.mSampleRate >= 1000 &&
           f.mSampleRate <= 192000 && f.mSampleRate == double(std::uint32_t(f.mSampleRate));
}

std::uint64_t hostTimeNow() {
    return std::uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count());
}

}  // namespace

// One input queue: a thread that takes enqueued buffers in order, has the source fill them and
// hands each to the callback.
//
// Thread safety: the public functions may be called from any thread, the callback included.
// `mutex` guards the buffer lists and the run state; the callback runs without it held, and
// `inCallback` lets stop wait for it.
struct OpaqueAudioQueue {
    struct BufferStorage {
        std::unique_ptr<std::uint8_t[]> data;
        AudioQueueBuffer buffer;
    };

    AudioStreamBasicDescription format;
    AudioQueueInputCallback callback = nullptr;
    void* userData = nullptr;
    std::unique_ptr<InputSource> source;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::unique_ptr<BufferStorage>> buffers;
    std::deque<AudioQueueBuffer*> enqueued;
    bool running = false;
    bool disposed = false;
    bool exhausted = false;
    bool inCallback = false;
    // Bumped by every start and stop, so a fill begun before a stop is never delivered.
    std::uint64_t generation = 0;
    double sampleTime = 0;
    std::thread thread;
    std::thread::id threadId;

    bool ownsLocked(AudioQueueBuffer* buffer) const {
        for (const auto& storage : buffers) {
            if (&storage->buffer == buffer) return true;
        }
        return false;
    }

    std::uint32_t usableCapacity(const AudioQueueBuffer& buffer) const {
        return buffer.mAudioDataBytesCapacity -
               buffer.mAudioDataBytesCapacity % format.mBytesPerPacket;
    }

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock,
                         [&] { return disposed || (running && !exhausted && !enqueued.empty()); });
            if (disposed) return;
            AudioQueueBuffer* buffer = enqueued.front();
            enqueued.pop_front();
            const std::uint64_t filling = generation;
            const std::uint32_t capacity = usableCapacity(*buffer);
            lock.unlock();
            const InputSource::Fill fill =
                source->fill(static_cast<std::uint8_t*>(buffer->mAudioData), capacity);
            lock.lock();
            if (generation != filling || !running || disposed) {
                // Stopped while filling: what came in is dropped, the buffer waits for a start.
                enqueued.push_front(buffer);
                continue;
            }
            if (fill.ended) exhausted = true;
            if (!fill.delivered) {
                enqueued.push_front(buffer);
            } else {
                buffer->mAudioDataByteSize = fill.byteCount;
                buffer->mPacketDescriptionCount = 0;
                AudioTimeStamp start{sampleTime, hostTimeNow(),
                                     kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid};
                sampleTime += fill.byteCount / format.mBytesPerFrame;
                inCallback = true;
                lock.unlock();
                if (!source->metersAsCaptured()) {
                    publishInputLevel(buffer->mAudioData, fill.byteCount, this);
                }
                callback(userData, this, buffer, &start, fill.packetCount, nullptr);
                lock.lock();
                inCallback = false;
                changed.notify_all();
            }
            if (exhausted) announcePlayOut(lock, filling, capacity);
        }
    }

    // After the last delivery of a finite source, waits out its pace and tells the host.
    void announcePlayOut(std::unique_lock<std::mutex>& lock, std::uint64_t filling,
                         std::uint32_t capacity) {
        if (generation != filling || !running || disposed) return;
        lock.unlock();
        const bool waited =
            source->waitUntil(InputSource::Clock::now() + source->playOutDelay(capacity));
        lock.lock();
        if (!waited || generation != filling || !running || disposed) return;
        // Counts as a callback, so that a returning stop has also seen the last of this.
        inCallback = true;
        lock.unlock();
        NotificationCenter::defaultCenter().post(AudioInputDidPlayOutNotification, this);
        lock.lock();
        inCallback = false;
        changed.notify_all();
    }

    Result<void, AudioFailure> start() {
        {
            std::lock_guard lock(mutex);
            if (running) return {};
        }
        // Outside the lock: opening a device may take a while and must not block a callback.
        if (auto started = source->start(); !started) return started;
        {
            std::lock_guard lock(mutex);
            running = true;
            ++generation;
        }
        changed.notify_all();
        return {};
    }

    void stop() {
        std::unique_lock lock(mutex);
        const bool wasRunning = running;
        running = false;
        ++generation;
        changed.notify_all();
        lock.unlock();
        // Wakes a fill or pacing wait and stops the device; before waiting, so a callback
        // blocked on nothing but the source returns soon.
        if (wasRunning) source->stop();
        lock.lock();
        if (std::this_thread::get_id() != threadId) {
            changed.wait(lock, [&] { return !inCallback; });
        }
    }
};

namespace {

// Live queues, so a call with a disposed or made-up reference fails instead of touching freed
// memory.
struct Registry {
    std::mutex mutex;
    std::unordered_map<OpaqueAudioQueue*, std::shared_ptr<OpaqueAudioQueue>> queues;
};

Registry& registry() {
    static const char key = 0;
    const auto runtime = Runtime::current();
    return *runtime->shared<Registry>(&key, [&] {
        // Queues still alive when the runtime ends are disposed of, which joins their threads.
        runtime->atShutdown(Runtime::Stage::endCapture, [] {
            std::vector<OpaqueAudioQueue*> live;
            {
                std::lock_guard lock(registry().mutex);
                for (const auto& entry : registry().queues) live.push_back(entry.first);
            }
            for (auto* queue : live) AudioQueueDispose(queue, true);
        });
        return std::make_shared<Registry>();
    });
}

std::shared_ptr<OpaqueAudioQueue> lookup(AudioQueueRef ref) {
    std::lock_guard lock(registry().mutex);
    const auto it = registry().queues.find(ref);
    return it == registry().queues.end() ? nullptr : it->second;
}

void setText(std::string* out, std::string text) {
    if (out) *out = std::move(text);
}

}  // namespace

OSStatus AudioQueueNewInput(const AudioStreamBasicDescription* inFormat,
                            AudioQueueInputCallback inCallbackProc, void* inUserData,
                            AudioQueueRef* outAQ, std::string* outErrorText,
                            const AudioInputSource* inSource) {
    if (outAQ) *outAQ = nullptr;
    if (!inFormat || !inCallbackProc || !outAQ) {
        setText(outErrorText, "invalid input queue parameters");
        return kAudioQueueErr_InvalidParameter;
    }
    if (!supportedFormat(*inFormat)) {
        setText(outErrorText, "unsupported capture format (16-bit signed mono linear PCM only)");
        return kAudioFormatUnsupportedDataFormatError;
    }
    auto source = makeInputSource(inSource ? *inSource : defaultAudioInputSource(),
                                  std::uint32_t(inFormat->mSampleRate));
    if (!source) {
        setText(outErrorText, source.error().text);
        return source.error().status;
    }
    auto queue = std::make_shared<OpaqueAudioQueue>();
    queue->format = *inFormat;
    queue->callback = inCallbackProc;
    queue->userData = inUserData;
    queue->source = std::move(*source);
    queue->source->setLevelOrigin(queue.get());
    {
        // The thread's id must be known before any stop can ask whether it runs there.
        std::lock_guard lock(queue->mutex);
        queue->thread = std::thread([queue] { queue->run(); });
        queue->threadId = queue->thread.get_id();
    }
    {
        std::lock_guard lock(registry().mutex);
        registry().queues.emplace(queue.get(), queue);
    }
    *outAQ = queue.get();
    return noErr;
}

OSStatus AudioQueueAllocateBuffer(AudioQueueRef inAQ, std::uint32_t inBufferByteSize,
                                  AudioQueueBufferRef* outBuffer) {
    if (outBuffer) *outBuffer = nullptr;
    const auto queue = lookup(inAQ);
    if (!queue) return kAudioQueueErr_InvalidQueue;
    if (!outBuffer || inBufferByteSize == 0) return kAudioQueueErr_InvalidParameter;
    auto data = std::make_unique<std::uint8_t[]>(inBufferByteSize);
    void* const bytes = data.get();
    auto storage =
        std::make_unique<OpaqueAudioQueue::BufferStorage>(OpaqueAudioQueue::BufferStorage{
            std::move(data), AudioQueueBuffer{inBufferByteSize, bytes, 0, nullptr, 0}});
    std::lock_guard lock(queue->mutex);
    *outBuffer = &storage->buffer;
    queue->buffers.push_back(std::move(storage));
    return noErr;
}

OSStatus AudioQueueEnqueueBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer,
                                 std::uint32_t inNumPacketDescs,
                                 const AudioStreamPacketDescription* inPacketDescs) {
    const auto queue = lookup(inAQ);
    if (!queue) return kAudioQueueErr_InvalidQueue;
    if (inNumPacketDescs != 0 || inPacketDescs) return kAudioQueueErr_InvalidParameter;
    {
        std::lock_guard lock(queue->mutex);
        if (!inBuffer || !queue->ownsLocked(inBuffer)) return kAudioQueueErr_InvalidBuffer;
        for (const auto* waiting : queue->enqueued) {
            if (waiting == inBuffer) return kAudioQueueErr_BufferInQueue;
        }
        if (queue->usableCapacity(*inBuffer) == 0) return kAudioQueueErr_InvalidBuffer;
        queue->enqueued.push_back(inBuffer);
    }
    queue->changed.notify_all();
    return noErr;
}

OSStatus AudioQueueStart(AudioQueueRef inAQ, const AudioTimeStamp* inStartTime,
                         std::string* outErrorText) {
    const auto queue = lookup(inAQ);
    if (!queue) {
        setText(outErrorText, "invalid input queue");
        return kAudioQueueErr_InvalidQueue;
    }
    if (inStartTime) {
        setText(outErrorText, "a start time is not supported");
        return kAudioQueueErr_InvalidParameter;
    }
    const auto started = queue->start();
    if (started) return noErr;
    setText(outErrorText, started.error().text);
    return started.error().status;
}

OSStatus AudioQueueStop(AudioQueueRef inAQ, bool) {
    const auto queue = lookup(inAQ);
    if (!queue) return kAudioQueueErr_InvalidQueue;
    queue->stop();
    return noErr;
}

OSStatus AudioQueueDispose(AudioQueueRef inAQ, bool) {
    std::shared_ptr<OpaqueAudioQueue> queue;
    {
        std::lock_guard lock(registry().mutex);
        const auto it = registry().queues.find(inAQ);
        if (it == registry().queues.end()) return kAudioQueueErr_InvalidQueue;
        queue = std::move(it->second);
        registry().queues.erase(it);
    }
    queue->stop();
    {
        std::lock_guard lock(queue->mutex);
        queue->disposed = true;
    }
    queue->changed.notify_all();
    if (std::this_thread::get_id() == queue->threadId) {
        // Inside the callback: the thread ends, and frees the queue, once the callback returns.
        queue->thread.detach();
    } else {
        queue->thread.join();
    }
    return noErr;
}

OSStatus AudioQueueGetProperty(AudioQueueRef inAQ, AudioQueuePropertyID inID, void* outData,
                               std::uint32_t* ioDataSize) {
    const auto queue = lookup(inAQ);
    if (!queue) return kAudioQueueErr_InvalidQueue;
    if (inID != kAudioQueueProperty_MaximumOutputPacketSize) return kAudioQueueErr_InvalidProperty;
    if (!outData || !ioDataSize || *ioDataSize < sizeof(std::uint32_t)) {
        return kAudioQueueErr_InvalidPropertySize;
    }
    const std::uint32_t size = queue->format.mBytesPerPacket;
    std::memcpy(outData, &size, sizeof(size));
    *ioDataSize = sizeof(size);
    return noErr;
}

}  // namespace varen::platform
