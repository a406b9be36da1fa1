#include <sndfile.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "AudioQueueCapture.h"
#include "Platform/Audio/AudioLevelTap.h"
#include "Platform/Audio/AudioQueue.h"
#include "Support/AudioTestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"

namespace varen::test {
namespace {

using namespace platform;
using namespace std::chrono_literals;

constexpr const char* kSentence =
    "Speech arrives in half second buffers, resampled to eight kilohertz.";

struct FileInfo {
    int sampleRate = 0;
    int channels = 0;
    std::int64_t frames = 0;
};

FileInfo inspect(const std::filesystem::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return {};
    sf_close(file);
    return {info.samplerate, info.channels, info.frames};
}

std::size_t totalSamples(const std::vector<Delivery>& deliveries) {
    std::size_t samples = 0;
    for (const auto& d : deliveries) {
        EXPECT_EQ(d.packetCount * 2, d.byteCount);
        samples += d.packetCount;
    }
    return samples;
}

float levelOf(const std::vector<Delivery>& deliveries) {
    double sum = 0;
    std::uint64_t count = 0;
    for (const auto& d : deliveries) {
        for (std::size_t i = 0; i + 1 < d.bytes.size(); i += 2) {
            std::int16_t sample;
            std::memcpy(&sample, d.bytes.data() + i, 2);
            sum += double(sample) * sample;
            ++count;
        }
    }
    return averagePowerInDecibels(sum, count);
}

class AudioFileSource : public ::testing::Test {
  protected:
    std::filesystem::path speech() {
        const auto path = directory.path() / "speech.wav";
        EXPECT_TRUE(synthesizeSpeech(kSentence, path));
        return path;
    }

    // Runs a whole file through a queue until it announces its play-out.
    std::vector<Delivery> playWhole(const std::filesystem::path& path, std::uint32_t capacity) {
        setDefaultAudioInputSource(AudioInputSource::file(path, AudioInputSource::kUnpaced));
        CapturedQueue capture;
        EXPECT_EQ(capture.status, noErr) << capture.errorText;
        PlayOutWatcher watcher(capture);
        capture.addBuffers(3, capacity);
        capture.start();
        EXPECT_TRUE(watcher.waitForPlayOut(20s));
        EXPECT_EQ(watcher.deliveriesBeforePlayOut(), capture.count());
        return capture.deliveries();
    }

    TemporaryDirectory directory;
};

TEST_F(AudioFileSource, SpeechAt16kHzArrivesWholeAt8kHz) {
    const auto path = speech();
    const FileInfo info = inspect(path);
    ASSERT_EQ(info.sampleRate, 16000);
    ASSERT_EQ(info.channels, 1);

    const auto deliveries = playWhole(path, 8000);
    const auto expected = double(info.frames) / 2;
    EXPECT_NEAR(double(totalSamples(deliveries)), expected, 160);
    // Full buffers until the last, partial one.
    for (std::size_t i = 0; i + 1 < deliveries.size(); ++i)
        EXPECT_EQ(deliveries[i].byteCount, 8000u);
    EXPECT_LE(deliveries.back().byteCount, 8000u);
    EXPECT_GT(levelOf(deliveries), -40.0f);
}

TEST_F(AudioFileSource, StereoFilesAreMixedToMonoAndResampled) {
    // One second of a 1 kHz tone at half scale in both channels of a 44.1 kHz file.
    const auto tone = sineWave(44100, 0.5, 1000, 44100);
    std::vector<std::int16_t> stereo;
    for (std::int16_t sample : tone) stereo.insert(stereo.end(), {sample, sample});
    const auto path = directory.path() / "tone.wav";
    writeWavFile(path, stereo, 44100, 2);

    const auto deliveries = playWhole(path, 1600);
    EXPECT_NEAR(double(totalSamples(deliveries)), 8000, 160);
    EXPECT_NEAR(levelOf(deliveries), -9.03, 0.3);
}

TEST_F(AudioFileSource, RealTimePacingIsSlowerThanFastPacing) {
    const auto path = speech();
    setDefaultAudioInputSource(AudioInputSource::file(path, 1.0));
    CapturedQueue realTime;
    setDefaultAudioInputSource(AudioInputSource::file(path, 10.0));
    CapturedQueue fast;
    PlayOutWatcher fastPlayOut(fast);
    realTime.addBuffers(3, 1600);
    fast.addBuffers(3, 1600);
    ASSERT_EQ(realTime.start(), noErr);
    ASSERT_EQ(fast.start(), noErr);

    ASSERT_TRUE(fastPlayOut.waitForPlayOut(20s));
    const std::size_t realTimeCount = realTime.count();
    EXPECT_GE(fast.count(), 20u);
    EXPECT_LT(realTimeCount * 3, fast.count());
}

TEST_F(AudioFileSource, AnnouncesPlayOutOneBufferAfterTheLast) {
    const auto path = speech();
    setDefaultAudioInputSource(AudioInputSource::file(path, 10.0));
    CapturedQueue capture;
    PlayOutWatcher watcher(capture);
    capture.addBuffers(3, 8000);
    capture.start();
    ASSERT_TRUE(watcher.waitForPlayOut(20s));

    const auto deliveries = capture.deliveries();
    EXPECT_EQ(watcher.deliveriesBeforePlayOut(), deliveries.size());
    EXPECT_LT(deliveries.back().byteCount, 8000u);
    // Half a second of audio at ten times its pace.
    EXPECT_GE(watcher.playedOutAt() - deliveries.back().at, 50ms);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(watcher.playOuts(), 1u);
    EXPECT_EQ(capture.count(), deliveries.size());
}

TEST_F(AudioFileSource, MissingFileFailsAtCreation) {
    const auto path = directory.path() / "missing.wav";
    setDefaultAudioInputSource(AudioInputSource::file(path));
    CapturedQueue capture;
    EXPECT_EQ(capture.status, kAudioFileNotFoundError);
    EXPECT_EQ(capture.errorText, "audio file not found: \"" + path.string() + "\"");
    EXPECT_EQ(capture.queue, nullptr);
}

TEST_F(AudioFileSource, UnreadableFileFailsAtCreation) {
    const auto path = directory.path() / "garbage.wav";
    writeTextFile(path, "this is not audio, only some text in a file named like audio\n");
    setDefaultAudioInputSource(AudioInputSource::file(path));
    CapturedQueue capture;
    EXPECT_EQ(capture.status, kAudioFileUnsupportedFileTypeError);
    EXPECT_EQ(capture.errorText,
              "cannot read audio file \"" + path.string() + "\": Format not recognised.");
    EXPECT_EQ(capture.queue, nullptr);
}

TEST_F(AudioFileSource, RejectsAPaceThatIsNotPositive) {
    const auto path = directory.path() / "tone.wav";
    writeWavFile(path, sineWave(800, 0.5, 440, 8000), 8000);
    setDefaultAudioInputSource(AudioInputSource::file(path, 0.0));
    CapturedQueue stalled;
    EXPECT_EQ(stalled.status, kAudioQueueErr_InvalidParameter);
    EXPECT_EQ(stalled.errorText, "invalid playback speed for audio file \"" + path.string() + "\"");

    setDefaultAudioInputSource(AudioInputSource::file(path, 2.0));
    CapturedQueue paced;
    EXPECT_EQ(paced.status, noErr);
}

}  // namespace
}  // namespace varen::test
