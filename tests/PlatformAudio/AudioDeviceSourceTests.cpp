#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "AudioQueueCapture.h"
#include "Platform/Audio/AudioLevelTap.h"
#include "Platform/Audio/AudioQueue.h"
#include "Platform/Audio/AudioRecorder.h"
#include "Support/AudioTestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"

namespace varen::test {
namespace {

using namespace platform;
using namespace std::chrono_literals;

float loudestBuffer(const std::vector<Delivery>& deliveries) {
    float loudest = kAudioLevelFloorDecibels;
    for (const auto& d : deliveries) {
        double sum = 0;
        for (std::size_t i = 0; i + 1 < d.bytes.size(); i += 2) {
            std::int16_t sample;
            std::memcpy(&sample, d.bytes.data() + i, 2);
            sum += double(sample) * sample;
        }
        loudest = std::max(loudest, averagePowerInDecibels(sum, d.bytes.size() / 2));
    }
    return loudest;
}

TEST(AudioDeviceSource, MissingDeviceFailsAtCreation) {
    // No sound server to reach, so ALSA's default device (and with it PortAudio's) is gone.
    TemporaryDirectory nowhere;
    ::setenv("PULSE_SERVER", ("unix:" + (nowhere.path() / "no-socket").string()).c_str(), 1);
    setDefaultAudioInputSource(AudioInputSource::defaultDevice());
    CapturedQueue capture;
    if (capture.status == noErr) GTEST_SKIP() << "this machine has an input device of its own";
    EXPECT_EQ(capture.status, kAudioQueueErr_InvalidDevice);
    EXPECT_EQ(capture.errorText, "no default input device");
    EXPECT_EQ(capture.queue, nullptr);
}

TEST(AudioDeviceSource, CapturesWhatPlaysIntoTheDefaultSink) {
    std::string whyNot;
    auto server = AudioPulseServer::start("varen_test_sink", &whyNot);
    ASSERT_NE(server, nullptr) << whyNot;
    TemporaryDirectory directory;
    const auto tone = directory.path() / "tone.wav";
    writeWavFile(tone, sineWave(3 * 44100, 0.5, 440, 44100), 44100);

    setDefaultAudioInputSource(AudioInputSource::defaultDevice());
    auto recorder = AudioRecorder::initWithURLSettingsError(
        "/dev/null", {{AVSampleRateKey, 8000.0}, {AVNumberOfChannelsKey, 1}}, nullptr);
    ASSERT_NE(recorder, nullptr);
    recorder->setMeteringEnabled(true);
    recorder->record();
    {
        CapturedQueue capture;
        ASSERT_EQ(capture.status, noErr) << capture.errorText;
        capture.addBuffers(3, 1600);
        ASSERT_EQ(capture.start(), noErr) << capture.errorText;
        ASSERT_TRUE(capture.waitForCount(2, 10s));
        recorder->updateMeters();

        auto player = server->play(tone);
        const auto deadline = std::chrono::steady_clock::now() + 15s;
        while (loudestBuffer(capture.deliveries()) < -30.0f &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
        }
        recorder->updateMeters();
        const float meter = recorder->averagePowerForChannel(0);
        ASSERT_EQ(AudioQueueStop(capture.queue, true), noErr);

        const auto deliveries = capture.deliveries();
        EXPECT_GT(loudestBuffer(deliveries), -30.0f);
        EXPECT_GT(meter, -40.0f);
        for (const auto& d : deliveries) {
            EXPECT_EQ(d.byteCount, 1600u);
            EXPECT_EQ(d.packetCount, 800u);
        }
        player->wait(10s);
    }
    recorder->stop();
}

}  // namespace
}  // namespace varen::test
