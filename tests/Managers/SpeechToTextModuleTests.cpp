#include "Managers/SpeechToTextModule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "Support/OggReader.h"
#include "Support/RecognitionServer.h"
#include "Support/TestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"
#include "varenstt/Platform/AudioSession.h"
#include "varenstt/Platform/Log.h"
#include "varenstt/Platform/NotificationCenter.h"
#include "varenstt/VarenSTTManager.h"

using namespace std::chrono_literals;
using nlohmann::json;
using varen::Data;
using varen::Error;
using varen::SpeechToTextModule;
using varen::VarenSTTHypothesis;
using varen::platform::AudioInputSource;
using varen::platform::AudioSession;
using varen::platform::ScriptedAudioBuffer;
using varen::test::RecognitionServer;
using varen::test::drainMainLoop;
using varen::test::runMainLoopUntil;

namespace {

class RecordingDelegates : public varen::SpeechToTextModuleDelegate,
                           public varen::SpeechToTextModuleAudioDelegate {
  public:
    void speechRecognizerDidRecognizeAudioWithText(
        SpeechToTextModule& module, const std::vector<VarenSTTHypothesis>& list) override {
        recordingWhenFinal = module.recording();
        finals.push_back(list);
    }
    void speechRecognizerDidFailWithError(SpeechToTextModule&, const Error& error) override {
        failures.push_back(error);
    }
    void volumeChangedWithDecibels(float decibels) override {
        if (!varen::platform::RunLoop::main()->isCurrent()) offMain = true;
        levels.push_back(decibels);
    }
    void partialTextRecognized(const std::string& text) override { partials.push_back(text); }

    std::vector<std::vector<VarenSTTHypothesis>> finals;
    std::vector<Error> failures;
    std::vector<float> levels;
    std::vector<std::string> partials;
    bool offMain = false;
    bool recordingWhenFinal = true;
};

std::vector<std::int16_t> tone(std::size_t samples, double amplitude) {
    std::vector<std::int16_t> pcm(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        pcm[i] = static_cast<std::int16_t>(amplitude * 32767.0 *
                                           std::sin(2.0 * M_PI * 440.0 * i / 8000.0));
    }
    return pcm;
}

std::vector<ScriptedAudioBuffer> toneBuffers(int count) {
    std::vector<ScriptedAudioBuffer> buffers;
    for (int i = 0; i < count; ++i) buffers.push_back(ScriptedAudioBuffer::pcm(tone(4000, 0.5)));
    return buffers;
}

std::size_t count(const std::vector<json>& events, const std::string& type) {
    std::size_t n = 0;
    for (const auto& e : events) n += e["type"] == type;
    return n;
}

class CaptureModule : public ::testing::Test {
  protected:
    varen::test::TemporaryHome home;
    std::shared_ptr<RecordingDelegates> delegates = std::make_shared<RecordingDelegates>();

    std::shared_ptr<SpeechToTextModule> startModule() {
        auto module = SpeechToTextModule::initWithDelegate(delegates);
        module->setAudioDelegate(delegates);
        return module;
    }
    std::filesystem::path voiceFolder() const { return home.documents() / "voice"; }
};

}  // namespace

TEST_F(CaptureModule, ARefusedPermissionFailsOnceAndStartsNothing) {
    RecognitionServer server(json::array());
    varen::VarenSTTManager::shared()->setDecoderUrl(server.decoderUrl());
    AudioSession::sharedInstance()->setRecordPermissionPolicy(
        AudioSession::RecordPermissionPolicy::deny);
    varen::platform::setDefaultAudioInputSource(AudioInputSource::scripted(toneBuffers(4), 50ms));
    auto module = startModule();
    EXPECT_TRUE(delegates->failures.empty()) << "the answer comes later";
    ASSERT_TRUE(runMainLoopUntil([&] { return !delegates->failures.empty(); }));
    ASSERT_TRUE(drainMainLoop());

    ASSERT_EQ(delegates->failures.size(), 1u);
    EXPECT_EQ(
        delegates->failures[0],
        (Error{"VarenSTT", 0, {{"message", "User does not granted microphone permissions"}}}));
    EXPECT_FALSE(module->micPermissionGranted());
    EXPECT_FALSE(module->aqData());
    EXPECT_FALSE(module->meterTimer());
    EXPECT_TRUE(delegates->levels.empty());
    EXPECT_FALSE(std::filesystem::exists(voiceFolder()));
    EXPECT_TRUE(server.events().empty());
    module->startRecording();  // inert without permission
    EXPECT_FALSE(module->recording());
}

TEST_F(CaptureModule, AGrantedPermissionRecordsMetersAndStreams) {
    RecognitionServer server(
        json::array({{{"wait", "stop"}, {"send", RecognitionServer::finalResult({"la"}, 0.9)}}}));
    varen::VarenSTTManager::shared()->setDecoderUrl(server.decoderUrl());
    varen::platform::setDefaultAudioInputSource(AudioInputSource::scripted(toneBuffers(40), 100ms));
    auto module = startModule();
    ASSERT_TRUE(runMainLoopUntil([&] { return module->recording(); }));

    const auto state = module->aqData();
    EXPECT_EQ(state->bufferByteSize, 8000u);
    for (auto* buffer : state->mBuffers) {
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(buffer->mAudioDataBytesCapacity, 8000u);
    }
    // The two header pages are in the file before any audio.
    const auto file = module->encapsulator()->mFileName();
    EXPECT_EQ(std::filesystem::path(file).parent_path(), voiceFolder());
    EXPECT_GE(std::filesystem::file_size(file), 108u + 63u);

    ASSERT_TRUE(runMainLoopUntil([&] { return delegates->levels.size() >= 5; }));
    EXPECT_FALSE(delegates->offMain);
    const float loudest = *std::max_element(delegates->levels.begin(), delegates->levels.end());
    EXPECT_LT(loudest, 0.0f);
    EXPECT_GT(loudest, -20.0f) << "a tone at half scale reads about -9 dB";

    ASSERT_TRUE(server.waitFor([](const auto& events) { return count(events, "binary") >= 10; }));
    module->stopRecording();
    const auto levelsAtStop = delegates->levels.size();
    module->stopRecording();  // the second stop touches nothing
    EXPECT_FALSE(module->recording());
    ASSERT_TRUE(runMainLoopUntil([&] { return delegates->finals.size() == 1; }));
    ASSERT_TRUE(drainMainLoop());

    EXPECT_EQ(delegates->levels.size(), levelsAtStop);
    EXPECT_EQ(count(server.events(), "connect"), 1u);
    const auto texts = server.textMessages();
    ASSERT_EQ(texts.size(), 2u) << "start command and exactly one stop command";
    EXPECT_EQ(texts[1], varen::stopCommandText());
    for (const auto& packet : server.binaryMessages()) EXPECT_EQ(packet.size(), 38u);
    EXPECT_EQ(delegates->finals[0].at(0).transcript(), "la");
    EXPECT_FALSE(delegates->recordingWhenFinal)
        << "recording stops before the delegate hears of the result";
}

TEST_F(CaptureModule, ADroppedModuleEndsItsRunWithACompleteFile) {
    RecognitionServer server(json::array({{{"wait", "stop"}}}));
    varen::VarenSTTManager::shared()->setDecoderUrl(server.decoderUrl());
    varen::platform::setDefaultAudioInputSource(AudioInputSource::scripted(toneBuffers(40), 100ms));
    auto module = startModule();
    ASSERT_TRUE(runMainLoopUntil([&] { return server.binaryMessages().size() >= 5; }));
    const auto file = module->encapsulator()->mFileName();
    varen::VSWebSocketManager::sharedManager()->setRecognitionDelegate(nullptr);
    module.reset();  // while recording, as when a screen is shown a second time
    ASSERT_TRUE(server.waitFor([](const auto& events) {
        return std::any_of(events.begin(), events.end(), [](const json& e) {
            return e["type"] == "text" && e["data"] == varen::stopCommandText();
        });
    }));
    const auto ogg = varen::test::readOggStream(varen::test::readBinaryFile(file));
    EXPECT_TRUE(ogg.error.empty()) << ogg.error;
    EXPECT_EQ(ogg.packets.size(), 2 + server.binaryMessages().size());
}

TEST_F(CaptureModule, PassesOnlyBuffersThatHoldAPacket) {
    auto encapsulator = varen::Encapsulator::initWithFileName((home.path() / "x.spx").string());
    encapsulator->prepareForEncapsulating();
    auto state = std::make_shared<varen::AQRecorderState>();
    state->mDataFormat.mBytesPerPacket = 2;
    state->mEncapsulator.store(encapsulator);

    std::vector<std::uint8_t> bytes(320, 0);
    varen::platform::AudioQueueBuffer oneByte{320, bytes.data(), 1, nullptr, 0};
    varen::HandleInputBuffer(state.get(), nullptr, &oneByte, nullptr, 0, nullptr);
    EXPECT_EQ(state->mCurrentPacket, 0);
    varen::platform::AudioQueueBuffer whole{320, bytes.data(), 320, nullptr, 0};
    varen::HandleInputBuffer(state.get(), nullptr, &whole, nullptr, 0, nullptr);
    EXPECT_EQ(state->mCurrentPacket, 160);
    encapsulator->stopEncapsulating(false);
    // Exactly one frame was framed and encoded: the 1-byte buffer never reached the encapsulator.
    EXPECT_TRUE(
        varen::test::runMainLoopUntil([&] { return encapsulator->getPCMDatas().empty(); }, 5s));
}

TEST_F(CaptureModule, AnUnusableAudioInputFailsClearlyAndStartsNothing) {
    RecognitionServer server(json::array());
    varen::VarenSTTManager::shared()->setDecoderUrl(server.decoderUrl());
    varen::platform::setDefaultAudioInputSource(
        AudioInputSource::file(home.path() / "missing.wav"));
    auto module = startModule();
    ASSERT_TRUE(runMainLoopUntil([&] { return !delegates->failures.empty(); }));
    ASSERT_TRUE(drainMainLoop());
    ASSERT_EQ(delegates->failures.size(), 1u);
    const auto& error = delegates->failures[0];
    EXPECT_EQ(error.domain, "VarenSTT");
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.userInfo["message"].get<std::string>().rfind("Audio input unavailable: ", 0),
              0u);
    EXPECT_FALSE(module->recording());
    EXPECT_FALSE(module->meterTimer());
    EXPECT_FALSE(std::filesystem::exists(voiceFolder()));
    EXPECT_TRUE(server.events().empty());
}

TEST_F(CaptureModule, StreamsAWholeSpokenFileAndStopsAfterItsEnd) {
    const auto wav = home.path() / "sentence.wav";
    ASSERT_EQ(
        varen::test::runCommand("flite -t 'the quick brown fox jumps over the lazy dog' -o '" +
                                wav.string() + "' && sox '" + wav.string() + "' -r 16000 '" +
                                (home.path() / "s16.wav").string() + "'"),
        0);
    RecognitionServer server(
        json::array({{{"wait", "stop"}, {"send", RecognitionServer::finalResult({"fox"}, 0.7)}}}));
    varen::VarenSTTManager::shared()->setDecoderUrl(server.decoderUrl());
    varen::platform::setDefaultAudioInputSource(
        AudioInputSource::file(home.path() / "s16.wav", 10.0));

    std::atomic<bool> playedOut{false};
    auto token = varen::platform::NotificationCenter::defaultCenter().addObserver(
        varen::platform::AudioInputDidPlayOutNotification, nullptr,
        [&](const varen::platform::Notification&) { playedOut = true; });
    auto module = startModule();
    // Stopping cancels what is still queued, so stop once every frame has been encoded and sent:
    // a slow (instrumented) encoder must not make the test lose the end of the file.
    ASSERT_TRUE(runMainLoopUntil(
        [&] {
            return playedOut && module->encapsulator() &&
                   module->encapsulator()->getPCMDatas().empty();
        },
        60s));
    module->stopRecording();
    ASSERT_TRUE(runMainLoopUntil([&] { return delegates->finals.size() == 1; }, 60s));
    varen::platform::NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_TRUE(playedOut);

    // Every 20 ms frame the server saw is one 38-byte packet, the stop command after the last.
    const auto events = server.events();
    std::size_t packets = 0;
    bool stopSeen = false;
    for (const auto& e : events) {
        if (e["type"] == "binary") {
            EXPECT_FALSE(stopSeen) << "audio after the stop command";
            EXPECT_EQ(e["hex"].get<std::string>().size(), 76u);
            ++packets;
        }
        if (e["type"] == "text" && e["data"] == varen::stopCommandText()) stopSeen = true;
    }
    EXPECT_TRUE(stopSeen);
    // flite's sentence lasts about 2.5 s: 125 frames, every one sent, those captured before the
    // connection opened included.
    const auto seconds = std::filesystem::file_size(home.path() / "s16.wav") / 32000.0;
    const auto frames = static_cast<std::size_t>(seconds * 50.0);
    EXPECT_LE(packets, frames);
    EXPECT_GE(packets + 2, frames);
    EXPECT_FALSE(delegates->recordingWhenFinal);
}
