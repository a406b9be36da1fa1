// A host of the public interface against the reference server: spoken files streamed through
// VarenSTTManager and its delegate.
#include "varenstt/VarenSTTManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "Support/EndToEndSupport.h"
#include "Support/TestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"
#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/NotificationCenter.h"

namespace varen::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What the host hears, with the moment of the final result.
class RecordingDelegate : public VarenSTTManagerDelegate {
  public:
    void varenSTTManagerDidRecognizeAudioWith(
        VarenSTTManager&, const std::vector<VarenSTTHypothesis>& hypotheses) override {
        finals.push_back(hypotheses);
        finalAt = Clock::now();
    }
    void varenSTTManagerDidFailRecognizeAudioWithError(VarenSTTManager&,
                                                       const std::string& message) override {
        failures.push_back(message);
    }
    void varenSTTManagerDidRecognizePartialAudioWith(VarenSTTManager&,
                                                     const std::string& text) override {
        partials.push_back(text);
    }
    void varenSTTManagerDidChangeVolumeWithDecibels(VarenSTTManager&, float) override { ++levels; }

    bool ended() const { return !finals.empty() || !failures.empty(); }

    std::vector<std::vector<VarenSTTHypothesis>> finals;
    std::vector<std::string> failures;
    std::vector<std::string> partials;
    int levels = 0;
    Clock::time_point finalAt;
};

class EndToEndManager : public ::testing::Test {
  protected:
    struct Outcome {
        std::shared_ptr<RecordingDelegate> delegate;
        bool playedOutBeforeFinal = false;
        Clock::duration startToFinal{};
    };

    // One direct run over `wav` at `speed` times real time, stopped when the file has played out.
    Outcome recognize(const std::filesystem::path& wav, double speed, float minSilence,
                      std::int64_t maxResults = 1) {
        auto manager = VarenSTTManager::shared();
        manager->setDecoderUrl(server.decoderUrl());
        manager->setApiKey("e2e");
        manager->setLanguageModel("en-US_8k_digits");
        manager->setMinSilence(minSilence);
        manager->setMaxResults(maxResults);
        platform::setDefaultAudioInputSource(platform::AudioInputSource::file(wav, speed));

        Outcome outcome;
        outcome.delegate = std::make_shared<RecordingDelegate>();
        manager->setDelegate(outcome.delegate);
        auto playedOut = std::make_shared<std::atomic<bool>>(false);
        auto token = platform::NotificationCenter::defaultCenter().addObserver(
            platform::AudioInputDidPlayOutNotification, nullptr,
            [manager, playedOut](const platform::Notification&) {
                playedOut->store(true);
                platform::DispatchQueue::main()->async([manager] {
                    // An endpoint may have ended the run already.
                    if (manager->isRecognizing()) manager->stopRecognize();
                });
            });

        const auto start = Clock::now();
        bool playedOutAtFinal = false;
        manager->startRecognize();
        EXPECT_TRUE(runMainLoopUntil(
            [&] {
                if (outcome.delegate->ended()) {
                    playedOutAtFinal = playedOut->load();
                    return true;
                }
                return false;
            },
            60s));
        // Anything that would follow the end (a second message) shows up here.
        runMainLoopFor(300ms);
        platform::NotificationCenter::defaultCenter().removeObserver(token);
        outcome.playedOutBeforeFinal = playedOutAtFinal;
        outcome.startToFinal = outcome.delegate->finalAt - start;
        return outcome;
    }

    static std::vector<std::string> transcripts(const std::vector<VarenSTTHypothesis>& list) {
        std::vector<std::string> texts;
        for (const auto& h : list) texts.push_back(h.transcript().value_or("<none>"));
        return texts;
    }

    TemporaryHome home;
    EndToEndServer server{VARENSTT_SERVER_BINARY};
};

TEST_F(EndToEndManager, DeliversTheSpokenDigitsOfBothVoicesWithLevelsAndARecording) {
    for (const auto& [voice, digits] : {std::pair{"kal", "5813"}, std::pair{"rms", "8955"}}) {
        SCOPED_TRACE(voice);
        const auto wav = speak(home.path(), voice, digitWords(digits), voice);
        // Real time, so that no speech is captured before the connection opens.
        const auto outcome = recognize(wav, 1.0, 0.0f);
        const auto& heard = *outcome.delegate;
        EXPECT_TRUE(heard.failures.empty()) << heard.failures.front();
        ASSERT_EQ(heard.finals.size(), 1u);
        ASSERT_EQ(heard.finals[0].size(), 1u);
        EXPECT_EQ(heard.finals[0][0].transcript(), digitWords(digits));
        EXPECT_GT(heard.finals[0][0].confidence(), 0.0f);
        EXPECT_LE(heard.finals[0][0].confidence(), 1.0f);
        EXPECT_GT(heard.levels, 0);
        EXPECT_TRUE(outcome.playedOutBeforeFinal);

        const auto recording = VarenSTTManager::shared()->recordingPath();
        ASSERT_TRUE(recording.has_value());
        EXPECT_EQ(recording->parent_path(), home.documents() / "voice");
        EXPECT_GT(std::filesystem::file_size(*recording), 0u);
    }
}

TEST_F(EndToEndManager, ASilenceAfterTheSpeechEndsTheRunBeforeTheFileDoesWhenEndpointing) {
    // Ten seconds of silence after the speech; a run of one second of it is an endpoint. The
    // server has nine seconds to notice it before the file plays out: on a loaded machine, two
    // were too few for its decoding to keep up.
    const auto wav = speak(home.path(), "padded", digitWords("4271"), "kal", 10.0);
    const double seconds = audioSeconds(wav);
    ASSERT_GT(seconds, 10.5);

    const auto endpointed = recognize(wav, 1.0, 1.0f);
    ASSERT_EQ(endpointed.delegate->finals.size(), 1u);
    EXPECT_TRUE(endpointed.delegate->failures.empty());
    EXPECT_EQ(transcripts(endpointed.delegate->finals[0]),
              std::vector<std::string>{digitWords("4271")});
    EXPECT_FALSE(endpointed.playedOutBeforeFinal);
    EXPECT_LT(std::chrono::duration<double>(endpointed.startToFinal).count(), seconds);
    EXPECT_TRUE(server.waitForLog("(endpoint)", 5s));
}

TEST_F(EndToEndManager, WithoutEndpointingTheFinalWaitsForTheStop) {
    const auto wav = speak(home.path(), "padded", digitWords("4271"), "kal", 2.0);
    // Faster than real time still leaves the server seconds of audio silence to endpoint on.
    const auto outcome = recognize(wav, 2.0, 0.0f);
    ASSERT_EQ(outcome.delegate->finals.size(), 1u);
    EXPECT_EQ(transcripts(outcome.delegate->finals[0]),
              std::vector<std::string>{digitWords("4271")});
    EXPECT_TRUE(outcome.playedOutBeforeFinal);
    EXPECT_TRUE(server.waitForLog("(stop)", 5s));
}

}  // namespace
}  // namespace varen::test
