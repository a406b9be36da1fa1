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

// A script that does not run dry within a test.
void endlessScript() {
    script(std::vector<ScriptedAudioBuffer>(100000, filled(320, 1)), 1ms);
}

TEST(AudioQueue, FillsEnqueuedBuffersInRotation) {
    script({filled(320, 1), filled(320, 2), filled(320, 3), filled(320, 4), filled(320, 5)});
    CapturedQueue capture;
    ASSERT_EQ(capture.status, noErr);
    const auto buffers = capture.addBuffers(3, 320);
    ASSERT_EQ(capture.start(), noErr);
    ASSERT_TRUE(capture.waitForCount(5));

    const auto deliveries = capture.deliveries();
    for (std::size_t i = 0; i < deliveries.size(); ++i) {
        EXPECT_EQ(deliveries[i].buffer, buffers[i % 3]) << i;
        EXPECT_EQ(deliveries[i].packetCount, 160u);
        EXPECT_EQ(deliveries[i].bytes, Data(320, std::uint8_t(i + 1)));
        EXPECT_EQ(deliveries[i].sampleTime, 160.0 * double(i));
    }
}

TEST(AudioQueue, CountsWholePacketsAndKeepsZeroPacketBuffers) {
    // 700 bytes into 321-byte buffers (320 usable); a lone trailing byte is no packet.
    script({filled(700, 7), filled(3, 8), ScriptedAudioBuffer::zeroPackets(1),
            ScriptedAudioBuffer::zeroPackets(320)});
    CapturedQueue capture;
    capture.addBuffers(2, 321);
    capture.start();
    ASSERT_TRUE(capture.waitForCount(6));

    std::vector<std::pair<std::size_t, std::uint32_t>> sizes;
    for (const auto& d : capture.deliveries()) sizes.emplace_back(d.bytes.size(), d.packetCount);
    EXPECT_EQ(sizes, (std::vector<std::pair<std::size_t, std::uint32_t>>{
                         {320, 160}, {320, 160}, {60, 30}, {2, 1}, {1, 0}, {320, 0}}));
}

TEST(AudioQueue, FillsOnlyBuffersThatAreEnqueued) {
    script({filled(320, 1), filled(320, 2)});
    CapturedQueue capture;
    capture.reenqueue = false;
    const auto buffers = capture.addBuffers(1, 320);
    capture.start();
    ASSERT_TRUE(capture.waitForCount(1));

    // The rest of the script waits for the buffer to come back, then plays out.
    const auto enqueuedAt = Clock::now();
    ASSERT_EQ(AudioQueueEnqueueBuffer(capture.queue, buffers[0], 0, nullptr), noErr);
    ASSERT_TRUE(eventually([&] { return capture.playOuts() == 1; }));
    const auto deliveries = capture.deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_GE(deliveries[1].at, enqueuedAt);
    EXPECT_EQ(deliveries[1].bytes, Data(320, 2));
}

TEST(AudioQueue, StopFromAnotherThreadWaitsForTheRunningCallback) {
    endlessScript();
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
    ASSERT_TRUE(eventually([&] { return inside.load(); }));

    ASSERT_EQ(AudioQueueStop(capture.queue, true), noErr);
    EXPECT_TRUE(finished);
    const std::size_t atStop = capture.count();

    // The buffers stay enqueued: a new start fills them again, and nothing came in between.
    const auto restartedAt = Clock::now();
    ASSERT_EQ(capture.start(), noErr);
    ASSERT_TRUE(capture.waitForCount(atStop + 3));
    EXPECT_GE(capture.deliveries()[atStop].at, restartedAt);
}

TEST(AudioQueue, StopInsideTheCallbackMakesItTheLast) {
    endlessScript();
    CapturedQueue capture;
    std::atomic<bool> stopped{false};
    capture.onDelivery = [&](std::size_t index) {
        if (index != 3) return;
        AudioQueueStop(capture.queue, true);
        stopped = true;
    };
    capture.addBuffers(3, 320);
    capture.start();
    ASSERT_TRUE(eventually([&] { return stopped.load(); }));
    EXPECT_EQ(capture.count(), 4u);

    // Only a new start brings the next delivery.
    const auto restartedAt = Clock::now();
    ASSERT_EQ(capture.start(), noErr);
    ASSERT_TRUE(capture.waitForCount(5));
    EXPECT_GE(capture.deliveries()[4].at, restartedAt);
}

TEST(AudioQueue, DisposeEndsCallbacksAndInvalidatesTheQueue) {
    endlessScript();
    CapturedQueue running;
    running.addBuffers(3, 320);
    running.start();
    ASSERT_TRUE(running.waitForCount(3));
    ASSERT_EQ(AudioQueueDispose(running.queue, true), noErr);
    const std::size_t atDispose = running.count();
    const pid_t runningThread = running.deliveries().front().thread;
    ASSERT_TRUE(eventually([&] { return threadHasEnded(runningThread); }));
    EXPECT_EQ(running.count(), atDispose);
    EXPECT_EQ(AudioQueueStart(running.queue), kAudioQueueErr_InvalidQueue);
    EXPECT_EQ(AudioQueueDispose(running.queue, true), kAudioQueueErr_InvalidQueue);
    running.queue = nullptr;

    // From inside the callback, the queue is freed once the callback has returned.
    CapturedQueue inside;
    std::atomic<bool> disposed{false};
    inside.onDelivery = [&](std::size_t) {
        EXPECT_EQ(AudioQueueDispose(inside.queue, true), noErr);
        disposed = true;
    };
    inside.addBuffers(3, 320);
    inside.start();
    ASSERT_TRUE(eventually([&] { return disposed.load(); }));
    inside.queue = nullptr;
    const pid_t insideThread = inside.deliveries().front().thread;
    ASSERT_TRUE(eventually([&] { return threadHasEnded(insideThread); }));
    EXPECT_EQ(inside.count(), 1u);
}

TEST(AudioQueue, AcceptsOnlyMonoSixteenBitLinearPcm) {
    script({});
    EXPECT_EQ(CapturedQueue().status, noErr);

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

    EXPECT_EQ(AudioQueueEnqueueBuffer(second.queue, buffer), kAudioQueueErr_InvalidBuffer);
    EXPECT_EQ(AudioQueueEnqueueBuffer(first.queue, buffer), noErr);
    EXPECT_EQ(AudioQueueEnqueueBuffer(first.queue, buffer), kAudioQueueErr_BufferInQueue);
    EXPECT_EQ(AudioQueueAllocateBuffer(first.queue, 0, &buffer), kAudioQueueErr_InvalidParameter);
}

TEST(AudioQueue, ReportsTheMaximumPacketSize) {
    script({});
    CapturedQueue capture;
    std::uint32_t size = 0;
    std::uint32_t length = sizeof(size);
    const auto property = kAudioQueueProperty_MaximumOutputPacketSize;
    ASSERT_EQ(AudioQueueGetProperty(capture.queue, property, &size, &length), noErr);
    EXPECT_EQ(size, 2u);

    length = 2;
    EXPECT_EQ(AudioQueueGetProperty(capture.queue, property, &size, &length),
              kAudioQueueErr_InvalidPropertySize);
}

TEST(AudioQueue, ScriptAnnouncesItsPlayOutAfterTheLastBufferUnlessStopped) {
    script({filled(320, 1), filled(320, 2)}, 20ms);
    CapturedQueue capture;
    capture.addBuffers(3, 320);
    capture.start();
    ASSERT_TRUE(eventually([&] { return capture.playOuts() > 0; }));
    EXPECT_EQ(capture.deliveriesBeforePlayOut(), 2u);
    EXPECT_GE(capture.playedOutAt() - capture.deliveries().back().at, 20ms);
    // Once in the queue's whole life, which its dispose ends.
    ASSERT_EQ(AudioQueueDispose(capture.queue, true), noErr);
    capture.queue = nullptr;
    EXPECT_EQ(capture.playOuts(), 1u);

    // Stopped while it waits out the last buffer (half a second): no announcement, ever.
    script({filled(320, 1)}, 500ms);
    CapturedQueue stopped;
    stopped.addBuffers(1, 320);
    stopped.start();
    ASSERT_TRUE(stopped.waitForCount(1));
    AudioQueueStop(stopped.queue, true);
    ASSERT_EQ(AudioQueueDispose(stopped.queue, true), noErr);
    stopped.queue = nullptr;
    EXPECT_EQ(stopped.playOuts(), 0u);
}

}  // namespace
}  // namespace varen::test
