#include "Platform/Audio/AudioRecorder.h"

#include <gtest/gtest.h>

#include "AudioQueueCapture.h"
#include "Platform/Audio/AudioLevelTap.h"
#include "Support/AudioTestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"

namespace varen::test {
namespace {

using namespace platform;

// The settings the capture module gives its meter.
nlohmann::json meterSettings() {
    return {{AVSampleRateKey, 8000.0f},
            {AVFormatIDKey, kAudioFormatAppleLossless},
            {AVNumberOfChannelsKey, 1},
            {AVEncoderAudioQualityKey, AVAudioQualityMin}};
}

TEST(AudioLevel, PowerIsRmsOverFullScaleInDecibels) {
    // 1600 samples one step off zero: RMS 1 of 32768. Nothing at all is the floor.
    EXPECT_NEAR(averagePowerInDecibels(1600, 1600), -90.31, 0.01);
    EXPECT_EQ(averagePowerInDecibels(0, 1600), -160.0f);
    EXPECT_EQ(averagePowerInDecibels(0, 0), -160.0f);
}

// A file source hands in a buffer's slices before they play: each counts from its own time on.
TEST(AudioLevel, AudioHandedInAheadCountsOnlyOnceItIsHeard) {
    AudioLevelAccumulator meter;
    const auto now = LevelClock::now();
    const auto later = now + std::chrono::hours(1);
    meter.add(1600, 1600, nullptr, later);
    EXPECT_EQ(meter.take(), -160.0f) << "not heard yet";
    meter.add(1600, 1600, nullptr, now);
    EXPECT_NEAR(meter.take(), -90.31, 0.01) << "what is heard counts without what is ahead";
    // A source running ahead without end cannot grow the meter: the oldest counts at once.
    for (int i = 0; i < 1000; ++i) meter.add(1600 * 4, 1600, nullptr, later);
    EXPECT_NEAR(meter.take(), -84.29, 0.01);
}

TEST(AudioRecorder, MetersWhatTheSourceDeliveredSinceTheLastRefresh) {
    setDefaultAudioInputSource(
        AudioInputSource::scripted({ScriptedAudioBuffer::pcm(squareWave(1600, 32767)),
                                    ScriptedAudioBuffer::pcm(sineWave(1600, 0.5, 440, 8000)),
                                    ScriptedAudioBuffer::pcm(std::vector<std::int16_t>(1600, 0)),
                                    ScriptedAudioBuffer::pcm(squareWave(1600, 32767))}));
    auto recorder = AudioRecorder::initWithURLSettingsError("/dev/null", meterSettings(), nullptr);
    ASSERT_NE(recorder, nullptr);
    ASSERT_TRUE(recorder->prepareToRecord());
    recorder->setMeteringEnabled(true);
    ASSERT_TRUE(recorder->record());
    CapturedQueue capture;
    capture.reenqueue = false;
    const auto buffer = capture.addBuffers(1, 3200)[0];
    capture.start();
    const auto refreshed = [&] {
        recorder->updateMeters();
        return recorder->averagePowerForChannel(0);
    };
    // The queue may fill its buffer before a first look at the count: deliveries are counted
    // from the script, so the buffer goes back only once the previous one has been metered.
    std::size_t delivered = 0;
    const auto deliverNext = [&] {
        if (delivered > 0) AudioQueueEnqueueBuffer(capture.queue, buffer);
        return capture.waitForCount(++delivered) && capture.count() == delivered;
    };

    ASSERT_TRUE(deliverNext());
    EXPECT_NEAR(refreshed(), 0.0, 0.05);
    EXPECT_EQ(refreshed(), -160.0f);  // nothing new since
    ASSERT_TRUE(deliverNext());
    EXPECT_NEAR(refreshed(), -9.03, 0.1);
    ASSERT_TRUE(deliverNext());
    EXPECT_EQ(refreshed(), -160.0f);

    recorder->stop();
    ASSERT_TRUE(deliverNext());
    EXPECT_EQ(refreshed(), -160.0f);  // a stopped recorder hears nothing
    EXPECT_EQ(recorder->averagePowerForChannel(1), -160.0f);
}

TEST(AudioRecorder, RefusesUnusableSettings) {
    Error error;
    EXPECT_NE(AudioRecorder::initWithURLSettingsError("/dev/null", meterSettings(), &error),
              nullptr);

    auto noChannels = meterSettings();
    noChannels[AVNumberOfChannelsKey] = 0;
    EXPECT_EQ(AudioRecorder::initWithURLSettingsError("/dev/null", noChannels, &error), nullptr);
    EXPECT_EQ(error, Error::withDescription("NSOSStatusErrorDomain", -50,
                                            "AVNumberOfChannelsKey is out of range"));

    auto textRate = meterSettings();
    textRate[AVSampleRateKey] = "8000";
    EXPECT_EQ(AudioRecorder::initWithURLSettingsError("/dev/null", textRate, &error), nullptr);
    EXPECT_EQ(error, Error::withDescription("NSOSStatusErrorDomain", -50,
                                            "AVSampleRateKey is not a number"));
}

}  // namespace
}  // namespace varen::test
