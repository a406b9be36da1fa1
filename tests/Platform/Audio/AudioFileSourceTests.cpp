#include <sndfile.h>

#include <gtest/gtest.h>

#include "AudioQueueCapture.h"
#include "Platform/Audio/AudioQueue.h"
#include "Support/AudioTestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"

namespace varen::test {
namespace {

using namespace platform;
using namespace std::chrono_literals;

std::size_t totalPackets(const std::vector<Delivery>& deliveries) {
    std::size_t packets = 0;
    for (const auto& d : deliveries) packets += d.packetCount;
    return packets;
}

class AudioFileSource : public ::testing::Test {
  protected:
    // A spoken sentence at 16 kHz; its length in frames.
    std::filesystem::path speech(std::int64_t* frames = nullptr) {
        const auto path = directory.path() / "speech.wav";
        EXPECT_TRUE(
            synthesizeSpeech("Speech arrives in half second buffers at eight kilohertz.", path));
        SF_INFO info{};
        if (SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info)) sf_close(file);
        EXPECT_EQ(info.samplerate, 16000);
        if (frames) *frames = info.frames;
        return path;
    }

    // Plays a whole file as fast as possible, until it announces its play-out.
    std::vector<Delivery> playWhole(const std::filesystem::path& path, std::uint32_t capacity) {
        setDefaultAudioInputSource(AudioInputSource::file(path, AudioInputSource::kUnpaced));
        CapturedQueue capture;
        EXPECT_EQ(capture.status, noErr) << capture.errorText;
        capture.addBuffers(3, capacity);
        capture.start();
        EXPECT_TRUE(eventually([&] { return capture.playOuts() > 0; }, 20s));
        EXPECT_EQ(capture.deliveriesBeforePlayOut(), capture.count());
        return capture.deliveries();
    }

    TemporaryDirectory directory;
};

TEST_F(AudioFileSource, SpeechAt16kHzArrivesWholeAt8kHz) {
    std::int64_t frames = 0;
    const auto deliveries = playWhole(speech(&frames), 8000);
    EXPECT_NEAR(double(totalPackets(deliveries)), double(frames) / 2, 160);
    // Full buffers until the last, partial one.
    for (std::size_t i = 0; i + 1 < deliveries.size(); ++i) {
        EXPECT_EQ(deliveries[i].bytes.size(), 8000u);
    }
    EXPECT_GT(levelOf(deliveries), -40.0f);
}

TEST_F(AudioFileSource, StereoFilesAreMixedToMonoAndResampled) {
    // One second of a 1 kHz tone at half scale in both channels, at 44.1 kHz.
    std::vector<std::int16_t> stereo;
    for (std::int16_t sample : sineWave(44100, 0.5, 1000, 44100)) {
        stereo.insert(stereo.end(), {sample, sample});
    }
    const auto path = directory.path() / "tone.wav";
    writeWavFile(path, stereo, 44100, 2);

    const auto deliveries = playWhole(path, 1600);
    EXPECT_NEAR(double(totalPackets(deliveries)), 8000, 160);
    EXPECT_NEAR(levelOf(deliveries), -9.03, 0.3);
}

TEST_F(AudioFileSource, RealTimePacingIsSlowerThanFastPacing) {
    const auto path = speech();
    setDefaultAudioInputSource(AudioInputSource::file(path, 1.0));
    CapturedQueue realTime;
    setDefaultAudioInputSource(AudioInputSource::file(path, 10.0));
    CapturedQueue fast;
    realTime.addBuffers(3, 1600);
    fast.addBuffers(3, 1600);
    ASSERT_EQ(realTime.start(), noErr);
    ASSERT_EQ(fast.start(), noErr);

    ASSERT_TRUE(eventually([&] { return fast.playOuts() > 0; }, 20s));
    const std::size_t realTimeCount = realTime.count();
    EXPECT_GE(fast.count(), 20u);
    EXPECT_LT(realTimeCount * 2, fast.count());
}

TEST_F(AudioFileSource, AnnouncesPlayOutOneBufferAfterTheLast) {
    setDefaultAudioInputSource(AudioInputSource::file(speech(), 10.0));
    CapturedQueue capture;
    capture.addBuffers(3, 8000);
    capture.start();
    ASSERT_TRUE(eventually([&] { return capture.playOuts() > 0; }, 20s));

    const auto deliveries = capture.deliveries();
    EXPECT_EQ(capture.deliveriesBeforePlayOut(), deliveries.size());
    EXPECT_LT(deliveries.back().bytes.size(), 8000u);
    // Half a second of audio at ten times its pace.
    EXPECT_GE(capture.playedOutAt() - deliveries.back().at, 50ms);
    // Nothing follows over the rest of the queue's life, which its dispose ends.
    ASSERT_EQ(AudioQueueDispose(capture.queue, true), noErr);
    capture.queue = nullptr;
    EXPECT_EQ(capture.playOuts(), 1u);
    EXPECT_EQ(capture.count(), deliveries.size());
}

TEST_F(AudioFileSource, MissingOrUnreadableFilesFailAtCreation) {
    const auto missing = directory.path() / "missing.wav";
    setDefaultAudioInputSource(AudioInputSource::file(missing));
    CapturedQueue absent;
    EXPECT_EQ(absent.status, kAudioFileNotFoundError);
    EXPECT_EQ(absent.errorText, "audio file not found: \"" + missing.string() + "\"");
    EXPECT_EQ(absent.queue, nullptr);

    const auto garbage = directory.path() / "garbage.wav";
    writeTextFile(garbage, "this is not audio, only some text in a file named like audio\n");
    setDefaultAudioInputSource(AudioInputSource::file(garbage));
    CapturedQueue unreadable;
    EXPECT_EQ(unreadable.status, kAudioFileUnsupportedFileTypeError);
    EXPECT_EQ(unreadable.errorText,
              "cannot read audio file \"" + garbage.string() + "\": Format not recognised.");
    EXPECT_EQ(unreadable.queue, nullptr);
}

TEST_F(AudioFileSource, RejectsAPaceThatIsNotPositive) {
    const auto path = directory.path() / "tone.wav";
    writeWavFile(path, sineWave(800, 0.5, 440, 8000), 8000);
    setDefaultAudioInputSource(AudioInputSource::file(path, 0.0));
    CapturedQueue stalled;
    EXPECT_EQ(stalled.status, kAudioQueueErr_InvalidParameter);
    EXPECT_EQ(stalled.errorText, "invalid playback speed for audio file \"" + path.string() + "\"");

    setDefaultAudioInputSource(AudioInputSource::file(path, 2.0));
    EXPECT_EQ(CapturedQueue().status, noErr);
}

}  // namespace
}  // namespace varen::test
