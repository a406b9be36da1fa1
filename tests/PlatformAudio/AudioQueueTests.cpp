#include "Platform/Audio/AudioQueue.h"

#include <gtest/gtest.h>

#include <thread>

#include "AudioQueueCapture.h"
#include "varenstt/Platform/AudioInputSource.h"

namespace varen::test {
namespace {

using namespace platform;
using namespace std::chrono_literals;

ScriptedAudioBuffer filled(std::size_t bytes, std::uint8_t value) {
    return ScriptedAudioBuffer{Data(bytes, value), std::nullopt};
}

void script(std::vector<ScriptedAudioBuffer> buffers, std::chrono::milliseconds interval = 0ms) {
    setDefaultAudioInputSource(AudioInputSource::scripted(std::move(buffers), interval));
}

// A script that never runs dry within a test.
void endlessScript(std::chrono::milliseconds interval) {
    script(std::vector<ScriptedAudioBuffer>(100000, filled(320, 1)), interval);
}

TEST(AudioQueue, FillsEnqueuedBuffersInRotation) {
    script({filled(320, 1), filled(320, 2), filled(320, 3), filled(320, 4), filled(320, 5)});
    CapturedQueue capture;
    ASSERT_EQ(capture.status, noErr);
    const auto buffers = capture.addBuffers(3, 320);
    ASSERT_EQ(capture.start(), noErr);
    ASSERT_TRUE(capture.waitForCount(5, 5s));

    const auto deliveries = capture.deliveries();
    ASSERT_EQ(deliveries.size(), 5u);
    for (std::size_t i = 0; i < deliveries.size(); ++i) {
        EXPECT_EQ(deliveries[i].buffer, buffers[i % 3]) << i;
        EXPECT_EQ(deliveries[i].byteCount, 320u);
        EXPECT_EQ(deliveries[i].packetCount, 160u);
        EXPECT_EQ(deliveries[i].bytes, Data(320, std::uint8_t(i + 1)));
        EXPECT_EQ(deliveries[i].sampleTime, 160.0 * double(i));
    }
}

TEST(AudioQueue, SplitsLongAudioAcrossBuffersInWholePackets) {
    // 700 bytes into 321-byte buffers: 320 usable each; a lone trailing byte is no packet.
    script({filled(700, 7), filled(3, 8)});
    CapturedQueue capture;
    capture.addBuffers(2, 321);
    capture.start();
    ASSERT_TRUE(capture.waitForCount(4, 5s));

    const auto deliveries = capture.deliveries();
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
    for (const auto& d : deliveries) sizes.emplace_back(d.byteCount, d.packetCount);
    EXPECT_EQ(sizes, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                         {320, 160}, {320, 160}, {60, 30}, {2, 1}}));
}

TEST(AudioQueue, ZeroPacketBuffersKeepTheirByteCount) {
    script({ScriptedAudioBuffer::zeroPackets(1), ScriptedAudioBuffer::zeroPackets(320),
            ScriptedAudioBuffer::pcm({5, -5})});
    CapturedQueue capture;
    capture.addBuffers(3, 8000);
    capture.start();
    ASSERT_TRUE(capture.waitForCount(3, 5s));

    const auto deliveries = capture.deliveries();
    EXPECT_EQ(deliveries[0].byteCount, 1u);
    EXPECT_EQ(deliveries[0].packetCount, 0u);
    EXPECT_EQ(deliveries[1].byteCount, 320u);
    EXPECT_EQ(deliveries[1].packetCount, 0u);
    EXPECT_EQ(deliveries[2].byteCount, 4u);
    EXPECT_EQ(deliveries[2].packetCount, 2u);
}

TEST(AudioQueue, FillsOnlyBuffersThatAreEnqueued) {
    script({filled(320, 1), filled(320, 2), filled(320, 3)});
    CapturedQueue capture;
    capture.reenqueue = false;
    const auto buffers = capture.addBuffers(1, 320);
    capture.start();
    ASSERT_TRUE(capture.waitForCount(1, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(capture.count(), 1u);

    ASSERT_EQ(AudioQueueEnqueueBuffer(capture.queue, buffers[0], 0, nullptr), noErr);
    ASSERT_TRUE(capture.waitForCount(2, 5s));
    EXPECT_EQ(capture.deliveries()[1].bytes, Data(320, 2));
}

TEST(AudioQueue, StopFromAnotherThreadWaitsForTheRunningCallback) {
    endlessScript(1ms);
    CapturedQueue capture;
    std::atomic<bool> inside{false};
    std::atomic<bool> finished{false};
    capture.onDelivery = [&](std::size_t index) {
        if (index != 2) return;
        inside = true;
        std::this_thread::sleep_for(200ms);
        finished = true;
    };
    capture.addBuffers(3, 320);
    capture.start();
    while (!inside) std::this_thread::sleep_for(1ms);

    ASSERT_EQ(AudioQueueStop(capture.queue, true), noErr);
    EXPECT_TRUE(finished);
    const std::size_t atStop = capture.count();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(capture.count(), atStop);
}

TEST(AudioQueue, StopInsideTheCallbackMakesItTheLast) {
    endlessScript(1ms);
    CapturedQueue capture;
    capture.onDelivery = [&](std::size_t index) {
        if (index == 3) AudioQueueStop(capture.queue, true);
    };
    capture.addBuffers(3, 320);
    capture.start();
    ASSERT_TRUE(capture.waitForCount(4, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(capture.count(), 4u);
}

TEST(AudioQueue, StartsAgainAfterStopWithTheBuffersStillEnqueued) {
    endlessScript(1ms);
    CapturedQueue capture;
    capture.addBuffers(3, 320);
    capture.start();
    ASSERT_TRUE(capture.waitForCount(3, 5s));
    AudioQueueStop(capture.queue, true);
    const std::size_t atStop = capture.count();

    ASSERT_EQ(capture.start(), noErr);
    EXPECT_TRUE(capture.waitForCount(atStop + 3, 5s));
}

TEST(AudioQueue, DisposeStopsCallbacksAndInvalidatesTheQueue) {
    endlessScript(1ms);
    std::atomic<int> callbacks{0};
    AudioQueueRef queue = nullptr;
    const auto format = captureFormat();
    ASSERT_EQ(AudioQueueNewInput(
                  &format,
                  [](void* counter, AudioQueueRef q, AudioQueueBufferRef buffer,
                     const AudioTimeStamp*, std::uint32_t, const AudioStreamPacketDescription*) {
                      ++*static_cast<std::atomic<int>*>(counter);
                      AudioQueueEnqueueBuffer(q, buffer, 0, nullptr);
                  },
                  &callbacks, &queue),
              noErr);
    AudioQueueBufferRef buffer = nullptr;
    ASSERT_EQ(AudioQueueAllocateBuffer(queue, 320, &buffer), noErr);
    AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr);
    AudioQueueStart(queue);
    while (callbacks < 3) std::this_thread::sleep_for(1ms);

    ASSERT_EQ(AudioQueueDispose(queue, true), noErr);
    const int atDispose = callbacks;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(callbacks, atDispose);
    EXPECT_EQ(AudioQueueStart(queue), kAudioQueueErr_InvalidQueue);
    EXPECT_EQ(AudioQueueDispose(queue, true), kAudioQueueErr_InvalidQueue);
}

TEST(AudioQueue, DisposeInsideTheCallbackFreesTheQueueAfterIt) {
    endlessScript(1ms);
    CapturedQueue capture;
    capture.reenqueue = false;
    std::atomic<bool> disposed{false};
    capture.onDelivery = [&](std::size_t) {
        EXPECT_EQ(AudioQueueDispose(capture.queue, true), noErr);
        disposed = true;
    };
    capture.addBuffers(1, 320);
    capture.start();
    ASSERT_TRUE(capture.waitForCount(1, 5s));
    while (!disposed) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(AudioQueueStart(capture.queue), kAudioQueueErr_InvalidQueue);
    capture.queue = nullptr;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(capture.count(), 1u);
}

TEST(AudioQueue, AcceptsOnlyMonoSixteenBitLinearPcm) {
    script({});
    CapturedQueue mono;
    EXPECT_EQ(mono.status, noErr);
    EXPECT_NE(mono.queue, nullptr);

    auto stereo = captureFormat();
    stereo.mChannelsPerFrame = 2;
    stereo.mBytesPerFrame = stereo.mBytesPerPacket = 4;
    CapturedQueue rejected(stereo);
    EXPECT_EQ(rejected.status, kAudioFormatUnsupportedDataFormatError);
    EXPECT_EQ(rejected.errorText,
              "unsupported capture format (16-bit signed mono linear PCM only)");
    EXPECT_EQ(rejected.queue, nullptr);

    auto lossless = captureFormat();
    lossless.mFormatID = kAudioFormatAppleLossless;
    EXPECT_EQ(CapturedQueue(lossless).status, kAudioFormatUnsupportedDataFormatError);
}

TEST(AudioQueue, RejectsForeignAndDoublyEnqueuedBuffers) {
    script({});
    CapturedQueue first;
    CapturedQueue second;
    AudioQueueBufferRef buffer = nullptr;
    ASSERT_EQ(AudioQueueAllocateBuffer(first.queue, 320, &buffer), noErr);
    EXPECT_EQ(buffer->mAudioDataBytesCapacity, 320u);
    EXPECT_EQ(buffer->mAudioDataByteSize, 0u);

    EXPECT_EQ(AudioQueueEnqueueBuffer(second.queue, buffer, 0, nullptr),
              kAudioQueueErr_InvalidBuffer);
    EXPECT_EQ(AudioQueueEnqueueBuffer(first.queue, buffer, 0, nullptr), noErr);
    EXPECT_EQ(AudioQueueEnqueueBuffer(first.queue, buffer, 0, nullptr),
              kAudioQueueErr_BufferInQueue);
    EXPECT_EQ(AudioQueueAllocateBuffer(first.queue, 0, &buffer), kAudioQueueErr_InvalidParameter);
}

TEST(AudioQueue, ReportsTheMaximumPacketSize) {
    script({});
    CapturedQueue capture;
    std::uint32_t size = 0;
    std::uint32_t length = sizeof(size);
    ASSERT_EQ(AudioQueueGetProperty(capture.queue, kAudioQueueProperty_MaximumOutputPacketSize,
                                    &size, &length),
              noErr);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(length, 4u);

    std::uint16_t tooSmall = 0;
    length = sizeof(tooSmall);
    EXPECT_EQ(AudioQueueGetProperty(capture.queue, kAudioQueueProperty_MaximumOutputPacketSize,
                                    &tooSmall, &length),
              kAudioQueueErr_InvalidPropertySize);
    EXPECT_EQ(AudioQueueGetProperty(capture.queue, fourCharCode("what"), &size, &length),
              kAudioQueueErr_InvalidProperty);
}

TEST(AudioQueue, ScriptAnnouncesItsPlayOutAfterTheLastBuffer) {
    script({filled(320, 1), filled(320, 2)}, 20ms);
    CapturedQueue capture;
    PlayOutWatcher watcher(capture);
    capture.addBuffers(3, 320);
    capture.start();
    ASSERT_TRUE(watcher.waitForPlayOut(5s));
    EXPECT_EQ(watcher.deliveriesBeforePlayOut(), 2u);
    EXPECT_GE(watcher.playedOutAt() - capture.deliveries().back().at, 20ms);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(watcher.playOuts(), 1u);
}

TEST(AudioQueue, StopBeforePlayOutSuppressesTheAnnouncement) {
    script({filled(320, 1)}, 200ms);
    CapturedQueue capture;
    PlayOutWatcher watcher(capture);
    capture.addBuffers(1, 320);
    capture.start();
    ASSERT_TRUE(capture.waitForCount(1, 5s));
    AudioQueueStop(capture.queue, true);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(watcher.playOuts(), 0u);
}

}  // namespace
}  // namespace varen::test
