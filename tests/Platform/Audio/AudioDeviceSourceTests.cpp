#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "AudioQueueCapture.h"
#include "Platform/Audio/AudioQueue.h"
#include "Platform/Audio/AudioRecorder.h"
#include "Support/AudioTestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"

namespace varen::test {
namespace {

using namespace platform;
using namespace std::chrono_literals;

float loudestBuffer(const std::vector<Delivery>& deliveries) {
    float loudest = -160;
    for (const auto& d : deliveries) loudest = std::max(loudest, levelOf({d}));
    return loudest;
}

TEST(AudioDeviceSource, MissingDeviceFailsAtCreation) {
    // With no sound server to reach, ALSA's default device, and with it PortAudio's, is gone.
    TemporaryDirectory nowhere;
    ::setenv("PULSE_SERVER", ("unix:" + (nowhere.path() / "no-socket").string()).c_str(), 1);
    CapturedQueue capture;
    if (capture.status == noErr) GTEST_SKIP() << "this machine has an input device of its own";
    EXPECT_EQ(capture.status, kAudioQueueErr_InvalidDevice);
    EXPECT_EQ(capture.errorText, "no default input device");
    EXPECT_EQ(capture.queue, nullptr);
}

// A sound server of the test's own, a tone to play into it, and a meter of what is captured.
class AudioDeviceSourcePlaying : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string whyNot;
        server = AudioPulseServer::start("varen_test_sink", &whyNot);
        ASSERT_NE(server, nullptr) << whyNot;
        writeWavFile(tone, sineWave(2 * 44100, 0.5, 440, 44100), 44100);
        recorder->setMeteringEnabled(true);
        recorder->record();
    }

    std::unique_ptr<AudioPulseServer> server;
    TemporaryDirectory directory;
    const std::filesystem::path tone = directory.path() / "tone.wav";
    std::shared_ptr<AudioRecorder> recorder =
        AudioRecorder::initWithURLSettingsError("/dev/null", {}, nullptr);
};

TEST_F(AudioDeviceSourcePlaying, CapturesWhatPlaysIntoTheDefaultSink) {
    CapturedQueue capture;
    ASSERT_EQ(capture.status, noErr) << capture.errorText;
    capture.addBuffers(3, 1600);
    ASSERT_EQ(capture.start(), noErr) << capture.errorText;
    ASSERT_TRUE(capture.waitForCount(2));
    recorder->updateMeters();
    const auto player = server->play(tone);
    eventually([&] { return loudestBuffer(capture.deliveries()) > -30.0f; }, 15s);
    recorder->updateMeters();
    ASSERT_EQ(AudioQueueStop(capture.queue, true), noErr);

    EXPECT_GT(loudestBuffer(capture.deliveries()), -30.0f);
    EXPECT_GT(recorder->averagePowerForChannel(0), -40.0f);
    for (const auto& d : capture.deliveries()) EXPECT_EQ(d.packetCount, 800u);
    player->wait(10s);
    recorder->stop();
}

// Meters refresh far more often than 0.5 s buffers arrive: they follow each device period.
TEST_F(AudioDeviceSourcePlaying, TheMeterFollowsTheDeviceBeforeAnyBufferIsDelivered) {
    CapturedQueue capture;
    ASSERT_EQ(capture.status, noErr) << capture.errorText;
    capture.addBuffers(1, 8000 * 2 * 60);  // a minute: never filled during the test
    ASSERT_EQ(capture.start(), noErr) << capture.errorText;
    const auto player = server->play(tone);
    eventually(
        [&] {
            recorder->updateMeters();
            return recorder->averagePowerForChannel(0) > -40.0f;
        },
        15s);
    EXPECT_GT(recorder->averagePowerForChannel(0), -40.0f);
    EXPECT_TRUE(capture.deliveries().empty());
    ASSERT_EQ(AudioQueueStop(capture.queue, true), noErr);
    player->wait(10s);
    recorder->stop();
}

}  // namespace
}  // namespace varen::test
