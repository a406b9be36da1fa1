#include "Platform/Audio/AudioRecorder.h"

#include <gtest/gtest.h>

#include "AudioQueueCapture.h"
#include "Platform/Audio/AudioLevelTap.h"
#include "Support/AudioTestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"

namespace varen::test {
namespace {

using namespace platform;
using namespace std::chrono_literals;

// The settings the capture module uses for its meter.
nlohmann::json meterSettings() {
    return {{AVSampleRateKey, 8000.0f},
            {AVFormatIDKey, kAudioFormatAppleLossless},
            {AVNumberOfChannelsKey, 1},
            {AVEncoderAudioQualityKey, AVAudioQualityMin}};
}

TEST(AudioLevel, PowerIsRmsOverFullScaleInDecibels) {
    double sum = 0;
    for (std::int16_t s : squareWave(1600, 32767)) sum += double(s) * s;
    EXPECT_NEAR(averagePowerInDecibels(sum, 1600), 0.0, 0.01);

    sum = 0;
    for (std::int16_t s : sineWave(8000, 0.5, 440, 8000)) sum += double(s) * s;
    EXPECT_NEAR(averagePowerInDecibels(sum, 8000), -9.03, 0.05);

    // One step of the 16-bit scale is well above the floor; nothing at all is the floor.
    EXPECT_NEAR(averagePowerInDecibels(1600, 1600), -90.31, 0.01);
    EXPECT_EQ(averagePowerInDecibels(0, 1600), -160.0f);
    EXPECT_EQ(averagePowerInDecibels(0, 0), -160.0f);
}

class AudioRecorderMetering : public ::testing::Test {
  protected:
    // Delivers the script's buffers one at a time, on demand.
    void deliverNext() {
        const std::size_t before = capture->count();
        ASSERT_EQ(AudioQueueEnqueueBuffer(capture->queue, buffer, 0, nullptr), noErr);
        ASSERT_TRUE(capture->waitForCount(before + 1, 5s));
    }

    void startWith(std::vector<ScriptedAudioBuffer> script) {
        setDefaultAudioInputSource(AudioInputSource::scripted(std::move(script)));
        Error error;
        recorder = AudioRecorder::initWithURLSettingsError("/dev/null", meterSettings(), &error);
        ASSERT_NE(recorder, nullptr);
        ASSERT_TRUE(recorder->prepareToRecord());
        recorder->setMeteringEnabled(true);
        ASSERT_TRUE(recorder->record());
        capture = std::make_unique<CapturedQueue>();
        capture->reenqueue = false;
        AudioQueueAllocateBuffer(capture->queue, 3200, &buffer);
        capture->start();
    }

    float refreshed() {
        recorder->updateMeters();
        return recorder->averagePowerForChannel(0);
    }

    std::shared_ptr<AudioRecorder> recorder;
    std::unique_ptr<CapturedQueue> capture;
    AudioQueueBufferRef buffer = nullptr;
};

TEST_F(AudioRecorderMetering, MeasuresWhatTheSourceDeliveredSinceTheLastRefresh) {
    startWith({ScriptedAudioBuffer::pcm(squareWave(1600, 32767)),
               ScriptedAudioBuffer::pcm(sineWave(1600, 0.5, 440, 8000)),
               ScriptedAudioBuffer::pcm(std::vector<std::int16_t>(1600, 0))});

    EXPECT_EQ(refreshed(), -160.0f);  // nothing delivered yet
    deliverNext();
    EXPECT_NEAR(refreshed(), 0.0, 0.05);
    EXPECT_EQ(refreshed(), -160.0f);  // nothing new since
    deliverNext();
    EXPECT_NEAR(refreshed(), -9.03, 0.1);
    deliverNext();
    EXPECT_EQ(refreshed(), -160.0f);
}

TEST_F(AudioRecorderMetering, ReadsTheFloorWhenMeteringIsOffOrStopped) {
    startWith({ScriptedAudioBuffer::pcm(squareWave(1600, 32767)),
               ScriptedAudioBuffer::pcm(squareWave(1600, 32767))});
    deliverNext();
    recorder->setMeteringEnabled(false);
    EXPECT_EQ(refreshed(), -160.0f);

    recorder->setMeteringEnabled(true);
    recorder->stop();
    deliverNext();
    EXPECT_EQ(refreshed(), -160.0f);
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
