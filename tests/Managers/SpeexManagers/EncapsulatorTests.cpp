#include "Managers/SpeexManagers/Encapsulator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "Managers/SpeexManagers/SpeexCodec.h"
#include "SpeexTestAudio.h"
#include "Support/OggReader.h"
#include "Support/TestSupport.h"
#include "varenstt/Platform/NotificationCenter.h"

using varen::Data;
using varen::Encapsulator;
namespace fs = std::filesystem;

namespace {

class CountingDelegate : public varen::EncapsulatingDelegate {
  public:
    void encapsulatingOver() override { ++calls; }
    std::atomic<int> calls{0};
};

// Counts "EncapsulatingOver" posts for the life of the object.
class NotificationCounter {
  public:
    NotificationCounter()
        : token_(varen::platform::NotificationCenter::defaultCenter().addObserver(
              Encapsulator::kEncapsulatingOverNotification, nullptr,
              [this](const varen::platform::Notification&) { ++posts; })) {}
    ~NotificationCounter() {
        varen::platform::NotificationCenter::defaultCenter().removeObserver(token_);
    }
    std::atomic<int> posts{0};

  private:
    varen::platform::NotificationCenter::Token token_;
};

// The packets a fresh codec makes of every whole 320-byte frame of the PCM, in order.
std::vector<Data> expectedPackets(const Data& pcm) {
    varen::SpeexCodec codec;
    codec.open(8);
    std::vector<Data> packets;
    std::vector<std::int16_t> frame(160);
    for (std::size_t at = 0; at + 320 <= pcm.size(); at += 320) {
        std::memcpy(frame.data(), pcm.data() + at, 320);
        packets.push_back(*codec.encode(frame.data(), 160));
    }
    codec.close();
    return packets;
}

std::vector<Data> audioPackets(const varen::test::OggStreamContents& contents) {
    std::vector<Data> packets;
    for (std::size_t index = 2; index < contents.packets.size(); ++index) {
        packets.push_back(contents.packets[index].bytes);
    }
    return packets;
}

// Feeds the PCM in capture-buffer sized pieces from a thread of its own, like the audio queue.
void feedFromAudioThread(Encapsulator& encapsulator, const Data& pcm, std::size_t piece) {
    std::thread audio([&] {
        for (std::size_t at = 0; at < pcm.size(); at += piece) {
            const auto size = std::min(piece, pcm.size() - at);
            encapsulator.inputPCMDataFromBuffer(pcm.data() + at, static_cast<std::uint32_t>(size));
        }
    });
    audio.join();
}

// Equal packet lists, reported by count and first difference rather than by dumping them.
::testing::AssertionResult samePackets(const std::vector<Data>& actual,
                                       const std::vector<Data>& expected) {
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure()
               << actual.size() << " packets where " << expected.size() << " were expected";
    }
    for (std::size_t index = 0; index < actual.size(); ++index) {
        if (actual[index] != expected[index]) {
            return ::testing::AssertionFailure() << "packet " << index << " differs";
        }
    }
    return ::testing::AssertionSuccess();
}

void expectWellFormedRecording(const varen::test::OggStreamContents& contents,
                               std::size_t audioCount) {
    ASSERT_EQ(contents.error, "");
    ASSERT_GE(contents.pages.size(), 2u);
    EXPECT_EQ(contents.pages[0].size, 108u);
    EXPECT_TRUE(contents.pages[0].beginningOfStream());
    EXPECT_EQ(contents.pages[1].size, 63u);
    ASSERT_EQ(contents.packets.size(), audioCount + 2);
    EXPECT_EQ(contents.packets[0].page, 0u);
    EXPECT_EQ(contents.packets[1].page, 1u);
    const auto serial = contents.pages[0].serialNumber;
    EXPECT_LT(serial, 8888u);
    std::int64_t previous = 0;
    for (std::size_t index = 0; index < contents.pages.size(); ++index) {
        const auto& page = contents.pages[index];
        EXPECT_TRUE(page.checksumValid);
        EXPECT_EQ(page.serialNumber, serial);
        EXPECT_FALSE(page.endOfStream());
        if (index < 2) continue;
        EXPECT_EQ(page.granulePosition % 160, 0);
        EXPECT_GT(page.granulePosition, previous);
        previous = page.granulePosition;
    }
    if (audioCount > 0) {
        EXPECT_EQ(contents.pages.back().granulePosition,
                  static_cast<std::int64_t>(160 * audioCount));
    }
}

// The WAV that speexdec writes holds 16-bit samples; its data chunk size is the last field of
// the 44-byte header it writes.
std::optional<std::uint32_t> speexdecSampleCount(const std::string& file, const fs::path& wav) {
    if (varen::test::runCommand("speexdec '" + file + "' '" + wav.string() + "' 2>/dev/null") !=
        0) {
        return std::nullopt;
    }
    const Data bytes = varen::test::readBinaryFile(wav);
    if (bytes.size() < 44) return std::nullopt;
    const std::uint32_t dataSize = bytes[40] | (bytes[41] << 8) | (bytes[42] << 16) |
                                   (static_cast<std::uint32_t>(bytes[43]) << 24);
    return dataSize / 2;
}

class EncapsulatorRun : public ::testing::Test {
  protected:
    varen::test::TemporaryHome home;
    std::string path = Encapsulator::defaultFileNameAtTime(1700000000.0);
};

}  // namespace

TEST(EncapsulatorFraming, CutsWhole320ByteFramesAndKeepsTheRest) {
    auto encapsulator = Encapsulator::initWithFileName("/nonexistent/unused.spx");
    encapsulator->setMoreDataInputing(true);  // accept PCM without a loop consuming it
    Data pcm(8000);
    for (std::size_t index = 0; index < pcm.size(); ++index) pcm[index] = index % 251;
    encapsulator->inputPCMDataFromBuffer(pcm.data(), 8000);
    auto frames = encapsulator->getPCMDatas();
    ASSERT_EQ(frames.size(), 25u);
    EXPECT_TRUE(encapsulator->getTempData().empty());
    for (std::size_t k = 0; k < frames.size(); ++k) {
        EXPECT_EQ(frames[k], Data(pcm.begin() + 320 * k, pcm.begin() + 320 * (k + 1)));
    }

    auto odd = Encapsulator::initWithFileName("/nonexistent/unused.spx");
    odd->setMoreDataInputing(true);
    odd->inputPCMDataFromBuffer(pcm.data(), 100);
    EXPECT_TRUE(odd->getPCMDatas().empty());
    EXPECT_EQ(odd->getTempData().size(), 100u);
    odd->inputPCMDataFromBuffer(pcm.data() + 100, 220);
    ASSERT_EQ(odd->getPCMDatas().size(), 1u);
    EXPECT_TRUE(odd->getTempData().empty());
    // Pieces of 1, 319, 7 and 633 bytes: two more frames, 0 + 320 + 320 = 640 of 960 bytes.
    std::size_t at = 320;
    for (std::size_t size : {1, 319, 7, 633}) {
        odd->inputPCMDataFromBuffer(pcm.data() + at, static_cast<std::uint32_t>(size));
        at += size;
    }
    frames = odd->getPCMDatas();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[3], Data(pcm.begin() + 960, pcm.begin() + 1280));
    EXPECT_EQ(odd->getTempData(), Data(pcm.begin() + 1280, pcm.begin() + 1280));
}

TEST(EncapsulatorFraming, DropsPCMWhileInputIsNotAccepted) {
    auto encapsulator = Encapsulator::initWithFileName("/nonexistent/unused.spx");
    const Data pcm(640, 1);
    encapsulator->inputPCMDataFromBuffer(pcm.data(), 640);
    EXPECT_TRUE(encapsulator->getPCMDatas().empty());
    EXPECT_TRUE(encapsulator->getTempData().empty());

    encapsulator->setMoreDataInputing(true);
    encapsulator->inputPCMDataFromBuffer(pcm.data(), 640);
    EXPECT_EQ(encapsulator->getPCMDatas().size(), 2u);
    encapsulator->stopEncapsulating(false);
    encapsulator->inputPCMDataFromBuffer(pcm.data(), 640);
    EXPECT_EQ(encapsulator->getPCMDatas().size(), 2u);
}

TEST(EncapsulatorFlags, ACancelIsNotUndoneByALaterStopWithoutCancel) {
    auto encapsulator = Encapsulator::initWithFileName("/nonexistent/unused.spx");
    encapsulator->setMoreDataInputing(true);
    encapsulator->stopEncapsulating(true);
    encapsulator->stopEncapsulating(false);
    EXPECT_TRUE(encapsulator->isCanceled());
    EXPECT_FALSE(encapsulator->moreDataInputing());
    EXPECT_EQ(encapsulator->sampleRate(), 8000);
    EXPECT_EQ(encapsulator->channels(), 1);
    EXPECT_EQ(encapsulator->nframes(), 1);
    EXPECT_TRUE(encapsulator->vbr());
}

TEST_F(EncapsulatorRun, DefaultFileNameIsTheWholeSecondInTheVoiceFolder) {
    const auto name = Encapsulator::defaultFileNameAtTime(1700000005.4);
    EXPECT_EQ(name, (home.documents() / "voice" / "1700000005.spx").string());
    EXPECT_TRUE(fs::is_directory(home.documents() / "voice"));
    EXPECT_EQ(fs::status(home.documents() / "voice").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::path(Encapsulator::defaultFileName()).parent_path(), home.documents() / "voice");
    // Two runs in the same second get two files; the later never replaces the earlier.
    EXPECT_EQ(Encapsulator::defaultFileNameAtTime(1700000005.0),
              (home.documents() / "voice" / "1700000005-1.spx").string());
    EXPECT_TRUE(fs::exists(name));
}

TEST_F(EncapsulatorRun, ADrainedRunWritesEveryFrameAndTellsTheDelegateOnce) {
    const auto speech = varen::test::speechSamples8k();
    ASSERT_GT(speech.size(), 16000u);
    Data pcm = varen::test::asBytes(speech);
    pcm.resize(pcm.size() / 320 * 320 + 123);  // a remainder that is never encoded

    varen::test::writeTextFile(path, "an older recording");
    auto encapsulator = Encapsulator::initWithFileName(path);
    EXPECT_FALSE(fs::exists(path));
    auto delegate = std::make_shared<CountingDelegate>();
    encapsulator->setDelegete(delegate);
    NotificationCounter counter;

    encapsulator->prepareForEncapsulating();
    feedFromAudioThread(*encapsulator, pcm, 8000);
    encapsulator->stopEncapsulating(false);
    encapsulator->encapsulationOperation()->waitUntilFinished();
    EXPECT_EQ(delegate->calls.load(), 1);
    EXPECT_EQ(counter.posts.load(), 1);
    EXPECT_TRUE(encapsulator->getPCMDatas().empty());

    const auto expected = expectedPackets(pcm);
    const auto contents = varen::test::readOggStream(varen::test::readBinaryFile(path));
    expectWellFormedRecording(contents, expected.size());
    EXPECT_TRUE(samePackets(audioPackets(contents), expected));

    EXPECT_EQ(varen::test::runCommand("oggz-validate --prefix '" + path + "' >/dev/null 2>&1"), 0);
    varen::test::TemporaryDirectory out;
    EXPECT_EQ(speexdecSampleCount(path, out.path() / "decoded.wav"), 160 * expected.size());
}

TEST_F(EncapsulatorRun, ARunWithoutAudioHoldsOnlyTheTwoHeaderPages) {
    auto encapsulator = Encapsulator::initWithFileName(path);
    encapsulator->prepareForEncapsulating();
    // Both header pages are written before the loop starts.
    const auto early = varen::test::readOggStream(varen::test::readBinaryFile(path));
    EXPECT_EQ(early.pages.size(), 2u);
    encapsulator->stopEncapsulating(false);
    encapsulator->encapsulationOperation()->waitUntilFinished();
    const auto contents = varen::test::readOggStream(varen::test::readBinaryFile(path));
    expectWellFormedRecording(contents, 0);
    EXPECT_EQ(contents.pages.size(), 2u);
    EXPECT_EQ(varen::test::runCommand("oggz-validate --prefix '" + path + "' >/dev/null 2>&1"), 0);
}

TEST_F(EncapsulatorRun, ACancelledRunKeepsEveryEncodedPacketAndDropsOnlyWaitingFrames) {
    const auto tone = varen::test::toneSamples(8000 * 60, 440, 6000);
    const Data pcm = varen::test::asBytes(tone);  // 3000 frames, far more than one burst
    auto encapsulator = Encapsulator::initWithFileName(path);
    auto delegate = std::make_shared<CountingDelegate>();
    encapsulator->setDelegete(delegate);
    NotificationCounter counter;

    encapsulator->prepareForEncapsulating();
    feedFromAudioThread(*encapsulator, pcm, 8000);
    // Cancel once some frames, but not all, have been encoded.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (encapsulator->pendingFrameCount() > 2900 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    encapsulator->stopEncapsulating(true);
    encapsulator->stopEncapsulating(false);
    encapsulator->encapsulationOperation()->waitUntilFinished();

    const std::size_t left = encapsulator->pendingFrameCount();
    ASSERT_GT(left, 0u) << "the loop encoded everything before the cancel";
    const std::size_t encoded = 3000 - left;
    EXPECT_GE(encoded, 100u);
    EXPECT_EQ(delegate->calls.load(), 0);
    EXPECT_EQ(counter.posts.load(), 0);

    auto expected = expectedPackets(pcm);
    expected.resize(encoded);
    const auto contents = varen::test::readOggStream(varen::test::readBinaryFile(path));
    expectWellFormedRecording(contents, encoded);
    EXPECT_TRUE(samePackets(audioPackets(contents), expected));
    EXPECT_EQ(varen::test::runCommand("oggz-validate --prefix '" + path + "' >/dev/null 2>&1"), 0);
    varen::test::TemporaryDirectory out;
    EXPECT_EQ(speexdecSampleCount(path, out.path() / "decoded.wav"), 160 * encoded);
}

TEST_F(EncapsulatorRun, ANewRunStartsOnlyAfterThePreviousLoopHasLeft) {
    const Data first = varen::test::asBytes(varen::test::toneSamples(8000 * 10, 300, 5000));
    const Data second = varen::test::asBytes(varen::test::toneSamples(8000, 700, 5000));
    auto encapsulator = Encapsulator::initWithFileName(path);

    // A run that is never stopped: the reset ends it and waits for it.
    encapsulator->prepareForEncapsulating();
    const auto previous = encapsulator->encapsulationOperation();
    feedFromAudioThread(*encapsulator, first, 8000);
    const auto secondPath = Encapsulator::defaultFileNameAtTime(1700000001.0);
    varen::test::writeTextFile(secondPath, "stale");
    encapsulator->resetWithFileName(secondPath);
    EXPECT_TRUE(previous->isFinished());
    EXPECT_FALSE(fs::exists(secondPath));
    EXPECT_TRUE(encapsulator->getPCMDatas().empty());
    const auto firstContents = varen::test::readOggStream(varen::test::readBinaryFile(path));
    ASSERT_EQ(firstContents.error, "");
    const auto firstCount = firstContents.packets.size() - 2;
    auto firstExpected = expectedPackets(first);
    firstExpected.resize(firstCount);
    EXPECT_TRUE(samePackets(audioPackets(firstContents), firstExpected));

    const Data firstFile = varen::test::readBinaryFile(path);

    encapsulator->prepareForEncapsulating();
    feedFromAudioThread(*encapsulator, second, 8000);
    encapsulator->stopEncapsulating(false);
    encapsulator->encapsulationOperation()->waitUntilFinished();
    EXPECT_EQ(varen::test::readBinaryFile(path), firstFile);
    const auto secondContents = varen::test::readOggStream(varen::test::readBinaryFile(secondPath));
    expectWellFormedRecording(secondContents, 50);
    EXPECT_TRUE(samePackets(audioPackets(secondContents), expectedPackets(second)));
}

TEST_F(EncapsulatorRun, PreparingAgainWhileRunningEndsThePreviousRunFirst) {
    auto encapsulator = Encapsulator::initWithFileName(path);
    encapsulator->prepareForEncapsulating();
    const auto previous = encapsulator->encapsulationOperation();
    encapsulator->prepareForEncapsulating();
    EXPECT_TRUE(previous->isFinished());
    EXPECT_NE(encapsulator->encapsulationOperation(), previous);
    EXPECT_TRUE(encapsulator->moreDataInputing());
    encapsulator->stopEncapsulating(true);
    encapsulator->encapsulationOperation()->waitUntilFinished();
}

TEST_F(EncapsulatorRun, WaitingFramesFollowTheHeaderPagesAndTheEncapsulatorIsFreedWhenTheRunEnds) {
    std::weak_ptr<Encapsulator> weak;
    std::shared_ptr<varen::EncapsulatingOperation> operation;
    {
        auto encapsulator = Encapsulator::initWithFileName(path);
        weak = encapsulator;
        // Frames already waiting when the run starts still land after both header pages.
        encapsulator->setMoreDataInputing(true);
        const Data pcm(3200, 0);
        encapsulator->inputPCMDataFromBuffer(pcm.data(), 3200);
        encapsulator->prepareForEncapsulating();
        operation = encapsulator->encapsulationOperation();
        encapsulator->stopEncapsulating(false);
    }
    // The running loop keeps its encapsulator until it ends, then lets go.
    operation->waitUntilFinished();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!weak.expired() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(weak.expired());
    expectWellFormedRecording(varen::test::readOggStream(varen::test::readBinaryFile(path)), 10);
}
