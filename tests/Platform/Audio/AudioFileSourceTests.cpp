#include <sndfile.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "AudioQueueCapture.h"
#include "Managers/SpeexManagers/Encapsulator.h"
#include "Platform/Audio/AudioQueue.h"
#include "Support/AudioTestSupport.h"
#include "Support/OggReader.h"
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

std::vector<std::int16_t> samplesOf(const std::vector<Delivery>& deliveries) {
    std::vector<std::int16_t> samples;
    for (const auto& d : deliveries)
        for (std::size_t i = 0; i + 1 < d.bytes.size(); i += 2)
            samples.push_back(std::int16_t(d.bytes[i] | d.bytes[i + 1] << 8));
    return samples;
}

// The normalised correlation at the best lag up to 50 ms: a lossy codec keeps the waveform's
// shape but delays it a little.
double bestCorrelation(const std::vector<std::int16_t>& x, const std::vector<std::int16_t>& y) {
    double best = 0;
    for (std::size_t lag = 0; lag < 400 && lag < y.size(); ++lag) {
        double xy = 0, xx = 0, yy = 0;
        for (std::size_t i = 0; i < x.size() && i + lag < y.size(); ++i) {
            xy += double(x[i]) * y[i + lag], xx += double(x[i]) * x[i];
            yy += double(y[i + lag]) * y[i + lag];
        }
        best = std::max(best, xy / std::sqrt(xx * yy + 1));
    }
    return best;
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

    // One second of a 1 kHz tone at half scale in both channels.
    std::filesystem::path stereoTone(std::uint32_t rate) {
        std::vector<std::int16_t> stereo;
        for (std::int16_t sample : sineWave(rate, 0.5, 1000, rate))
            stereo.insert(stereo.end(), {sample, sample});
        const auto path = directory.path() / "tone.wav";
        writeWavFile(path, stereo, rate, 2);
        return path;
    }

    // The library's own recording of 8 kHz samples: Ogg Speex, one 20 ms frame per packet.
    std::filesystem::path record(const std::vector<std::int16_t>& samples) {
        const auto path = directory.path() / "recording.spx";
        auto encapsulator = Encapsulator::initWithFileName(path.string());
        encapsulator->prepareForEncapsulating();
        encapsulator->inputPCMDataFromBuffer(samples.data(), std::uint32_t(samples.size() * 2));
        encapsulator->stopEncapsulating(false);
        encapsulator->encapsulationOperation()->waitUntilFinished();
        return path;
    }

    std::filesystem::path saved(const Data& bytes) {
        writeTextFile(directory.path() / "damaged.spx", std::string(bytes.begin(), bytes.end()));
        return directory.path() / "damaged.spx";
    }

    // Why a queue reading the bytes fails at creation.
    std::string failureOf(const Data& bytes) {
        setDefaultAudioInputSource(AudioInputSource::file(saved(bytes)));
        CapturedQueue capture;
        EXPECT_EQ(capture.status, kAudioFileUnsupportedFileTypeError);
        const std::string prefix = "cannot read audio file \"" + saved(bytes).string() + "\": ";
        EXPECT_EQ(capture.errorText.rfind(prefix, 0), 0u) << capture.errorText;
        return capture.errorText.substr(std::min(prefix.size(), capture.errorText.size()));
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
    const auto deliveries = playWhole(stereoTone(44100), 1600);
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

TEST_F(AudioFileSource, TheLibrarysOwnRecordingPlaysBackAt8kHz) {
    const auto heard = playWhole(speech(), 8000);
    const auto original = samplesOf(heard);
    const auto path = record(original);
    EXPECT_NEAR(audioFileDuration(path).value_or(0), original.size() / 160 * 0.02, 1e-9);
    const auto replayed = playWhole(path, 8000);
    const auto samples = samplesOf(replayed);
    // Whole 20 ms frames: the recorder drops only a last partial one.
    EXPECT_EQ(samples.size(), original.size() / 160 * 160);
    // Lossy, but the same speech: unrelated speech correlates below 0.2.
    EXPECT_GT(bestCorrelation(original, samples), 0.6);
    EXPECT_NEAR(levelOf(replayed), levelOf(heard), 2.0);
}

TEST_F(AudioFileSource, WidebandStereoSpeexWithSeveralFramesPerPacketIsMixedAndResampled) {
    const auto spx = directory.path() / "tone.spx";
    ASSERT_EQ(runCommand("speexenc -w --nframes 3 '" + stereoTone(16000).string() + "' '" +
                         spx.string() + "' 2>/dev/null"),
              0);
    const auto deliveries = playWhole(spx, 1600);
    // The last page's granule position cuts the last packet's padding.
    EXPECT_EQ(totalPackets(deliveries), 8000u);
    EXPECT_NEAR(levelOf(deliveries), -9.03, 2.0);
}

TEST_F(AudioFileSource, DamagedSpeexFilesFailAtCreationOrEndAtTheLastGoodPacket) {
    // Ten seconds: audio on several pages.
    const auto path = record(sineWave(80000, 0.5, 440, 8000));
    const auto intact = readBinaryFile(path);
    const auto whole = samplesOf(playWhole(path, 1600));
    ASSERT_EQ(whole.size(), 80000u);

    // A field of the 80-byte header packet, after the 28-byte page header; checksum made right.
    auto withHeaderField = [&](std::size_t offset, std::uint8_t value) {
        Data bytes = intact;
        bytes[28 + offset] = value;
        std::fill_n(bytes.begin() + 22, 4, 0);
        const std::uint32_t crc = oggChecksum(bytes.data(), 108);
        for (std::size_t i = 0; i < 4; ++i) bytes[22 + i] = std::uint8_t(crc >> (8 * i));
        return bytes;
    };
    EXPECT_EQ(failureOf(withHeaderField(40, 7)), "unknown Speex mode 7");
    EXPECT_EQ(failureOf(withHeaderField(48, 3)), "3 channels; only mono and stereo are supported");
    EXPECT_EQ(failureOf(Data(intact.begin(), intact.begin() + 60)),
              "no Speex header: the file ends inside an Ogg page");
    EXPECT_EQ(failureOf(Data(intact.begin(), intact.begin() + 120)),
              "truncated Speex headers: the file ends inside an Ogg page");

    // Audio cut short or damaged mid-file: what came before plays, and the file still ends.
    Data damaged = intact;
    damaged[damaged.size() / 2] ^= 0x55;
    for (const Data& bytes : {Data(intact.begin(), intact.end() - 2000), damaged}) {
        const auto played = samplesOf(playWhole(saved(bytes), 1600));
        EXPECT_GT(played.size(), 1600u);
        EXPECT_LT(played.size(), whole.size());
        EXPECT_TRUE(std::equal(played.begin(), played.end(), whole.begin()));
    }
}

}  // namespace
}  // namespace varen::test
