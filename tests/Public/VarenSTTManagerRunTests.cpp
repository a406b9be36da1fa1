#include "varenstt/VarenSTTManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>

#include "Managers/SpeechToTextModule.h"
#include "Support/RecognitionServer.h"
#include "Support/TestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"
#include "varenstt/Platform/AudioSession.h"
#include "varenstt/Platform/Log.h"
#include "varenstt/Platform/UIRenderer.h"
#include "varenstt/Platform/UIWindow.h"

using namespace std::chrono_literals;
using nlohmann::json;
using varen::VarenSTTHypothesis;
using varen::VarenSTTManager;
using varen::platform::AudioInputSource;
using varen::platform::ScriptedAudioBuffer;
using varen::test::RecognitionServer;
using varen::test::runMainLoopUntil;

namespace {

class HostDelegate : public varen::VarenSTTManagerDelegate {
  public:
    void varenSTTManagerDidRecognizeAudioWith(
        VarenSTTManager& manager, const std::vector<VarenSTTHypothesis>& list) override {
        recognizingInFinal = manager.isRecognizing();
        finals.push_back(list);
        if (onFinal) onFinal(manager);
    }
    void varenSTTManagerDidFailRecognizeAudioWithError(VarenSTTManager&,
                                                       const std::string& message) override {
        failures.push_back(message);
    }
    void varenSTTManagerDidRecognizePartialAudioWith(VarenSTTManager&,
                                                     const std::string& text) override {
        partials.push_back(text);
    }
    void varenSTTManagerDidChangeVolumeWithDecibels(VarenSTTManager&, float db) override {
        levels.push_back(db);
    }

    std::vector<std::vector<VarenSTTHypothesis>> finals;
    std::vector<std::string> failures, partials;
    std::vector<float> levels;
    bool recognizingInFinal = true;
    std::function<void(VarenSTTManager&)> onFinal;
};

std::vector<ScriptedAudioBuffer> silence(int buffers) {
    return std::vector<ScriptedAudioBuffer>(
        buffers, ScriptedAudioBuffer::pcm(std::vector<std::int16_t>(4000, 0)));
}

std::size_t connections(const RecognitionServer& server) {
    return server.events("connect").size();
}

class ManagerRun : public ::testing::Test {
  protected:
    void SetUp() override {
        previousSink = varen::platform::setLogSink(
            [this](const std::string& line) {
                std::lock_guard lock(logMutex);
                logLines.push_back(line);
            });
        varen::platform::setDefaultAudioInputSource(
            AudioInputSource::scripted(silence(100), 100ms));
        manager->setDelegate(host);
    }
    void TearDown() override {
        varen::platform::setLogSink(previousSink);
        // The session outlives the test: the next test in this process expects the default.
        varen::platform::AudioSession::sharedInstance()->setRecordPermissionPolicy(
            varen::platform::AudioSession::RecordPermissionPolicy::grant);
    }
    // Lines come from whichever thread logs: the network thread too.
    bool logged(const std::string& line) {
        std::lock_guard lock(logMutex);
        return std::find(logLines.begin(), logLines.end(), line) != logLines.end();
    }

    varen::test::TemporaryHome home;
    std::shared_ptr<VarenSTTManager> manager = VarenSTTManager::shared();
    std::shared_ptr<HostDelegate> host = std::make_shared<HostDelegate>();
    std::mutex logMutex;
    std::vector<std::string> logLines;
    varen::platform::LogSink previousSink;
};

json partialThenFinalOnStop() {
    return json::array({
        {{"wait", "binary:2"}, {"send", {{"final", false}, {"transcript", "uno"}}}},
        {{"wait", "stop"}, {"send", RecognitionServer::finalResult({"uno due", "uno tre"}, 0.6)}},
    });
}

}  // namespace

TEST_F(ManagerRun, ADirectRunDeliversPartialLevelAndFinalResult) {
    RecognitionServer server(partialThenFinalOnStop());
    manager->setDecoderUrl(server.decoderUrl());
    EXPECT_FALSE(manager->isRecognizing());
    manager->startRecognize();
    EXPECT_TRUE(manager->isRecognizing());
    ASSERT_TRUE(
        runMainLoopUntil([&] { return host->partials.size() == 1 && !host->levels.empty(); }));
    manager->stopRecognize();
    EXPECT_FALSE(manager->isRecognizing());
    ASSERT_TRUE(runMainLoopUntil([&] { return host->finals.size() == 1; }));
    EXPECT_EQ(host->partials[0], "uno");
    ASSERT_EQ(host->finals[0].size(), 2u);
    EXPECT_EQ(host->finals[0][1].transcript(), "uno tre");
    EXPECT_TRUE(logged("h.textRecognized: uno due"));
    EXPECT_TRUE(logged("h.textRecognized: uno tre"));
    EXPECT_FALSE(host->recognizingInFinal);
    ASSERT_TRUE(manager->recordingPath());
    EXPECT_TRUE(std::filesystem::exists(*manager->recordingPath()));
}

TEST_F(ManagerRun, StartingDuringARunOnlyLogs) {
    RecognitionServer server(partialThenFinalOnStop());
    manager->setDecoderUrl(server.decoderUrl());
    manager->startRecognize();
    ASSERT_TRUE(runMainLoopUntil([&] { return server.binaryMessages().size() >= 2; }));
    manager->startRecognize();
    EXPECT_TRUE(logged("A speech to text recognizer session is already started."));
    manager->stopRecognize();
    ASSERT_TRUE(runMainLoopUntil([&] { return host->finals.size() == 1; }));
    EXPECT_EQ(connections(server), 1u);
    EXPECT_TRUE(host->failures.empty());
}

TEST_F(ManagerRun, StoppingWithNothingRunningOnlyLogs) {
    manager->stopRecognize();
    EXPECT_TRUE(
        logged("The speech to text recognizer session is not yet started, or is already stopped."));
    EXPECT_TRUE(host->finals.empty());
    EXPECT_TRUE(host->failures.empty());
}

TEST_F(ManagerRun, ANewRunMayStartFromInsideTheFinalResult) {
    RecognitionServer server(json::array(
        {{{"wait", "binary:1"}, {"send", RecognitionServer::finalResult({"x"}, 1.0)}}}));
    manager->setDecoderUrl(server.decoderUrl());
    host->onFinal = [&](VarenSTTManager& m) {
        if (host->finals.size() == 1) m.startRecognize();
    };
    manager->startRecognize();
    ASSERT_TRUE(runMainLoopUntil([&] { return host->finals.size() == 2; }, 30s));
    EXPECT_EQ(connections(server), 2u);
    EXPECT_FALSE(logged("A speech to text recognizer session is already started."));
}

TEST_F(ManagerRun, FailuresReachTheHostAsOneMessage) {
    RecognitionServer server(json::array({{{"wait", "start"}, {"send", {{"status", "busy"}}}}}));
    manager->setDecoderUrl(server.decoderUrl());
    manager->startRecognize();
    ASSERT_TRUE(runMainLoopUntil([&] { return host->failures.size() == 1; }));
    EXPECT_EQ(host->failures[0], "Busy");
    EXPECT_FALSE(manager->isRecognizing());
}

TEST_F(ManagerRun, ASocketFailureReachesTheHostAsItsDescription) {
    int freePort = 0;
    {
        RecognitionServer probe(json::array());
        freePort = probe.port();
    }
    manager->setDecoderUrl("ws://127.0.0.1:" + std::to_string(freePort) + "/ws/client/speech");
    manager->startRecognize();
    ASSERT_TRUE(runMainLoopUntil([&] { return host->failures.size() == 1; }));
    EXPECT_FALSE(host->failures[0].empty());
    EXPECT_NE(host->failures[0].find("efused"), std::string::npos) << host->failures[0];
}

TEST_F(ManagerRun, ARefusedPermissionReachesTheHost) {
    varen::platform::AudioSession::sharedInstance()->setRecordPermissionPolicy(
        varen::platform::AudioSession::RecordPermissionPolicy::deny);
    manager->startRecognize();
    ASSERT_TRUE(runMainLoopUntil([&] { return host->failures.size() == 1; }));
    EXPECT_EQ(host->failures[0], "User does not granted microphone permissions");
    EXPECT_FALSE(manager->isRecognizing());
}

TEST_F(ManagerRun, ADelegateThatImplementsNothingIsHarmless) {
    RecognitionServer server(partialThenFinalOnStop());
    manager->setDecoderUrl(server.decoderUrl());
    auto silent = std::make_shared<varen::VarenSTTManagerDelegate>();
    manager->setDelegate(silent);
    manager->startRecognize();
    ASSERT_TRUE(runMainLoopUntil([&] { return server.binaryMessages().size() >= 2; }));
    manager->stopRecognize();
    ASSERT_TRUE(runMainLoopUntil([&] { return !server.events("closed").empty(); }));
    EXPECT_FALSE(manager->isRecognizing());
}

namespace {

// A screen run on a headless window, as a host presents the screen.
class ScreenRun : public ManagerRun {
  protected:
    std::shared_ptr<varen::platform::ViewController> presentScreen() {
        auto screen = manager->varenSTTViewController();
        window->rootViewController()->presentViewControllerAnimatedCompletion(screen, true);
        return screen;
    }
    bool screenShown() const {
        return window->rootViewController()->presentedViewController() != nullptr;
    }

    std::shared_ptr<varen::platform::Window> window = varen::platform::Window::create();
};

}  // namespace

TEST_F(ScreenRun, ATapEndsTheRunAndTheHostHearsFromTheDismissal) {
    RecognitionServer server(partialThenFinalOnStop());
    manager->setDecoderUrl(server.decoderUrl());
    auto screen = presentScreen();
    EXPECT_TRUE(manager->isRecognizing());
    ASSERT_TRUE(runMainLoopUntil([&] { return host->partials.size() == 1; }));
    EXPECT_TRUE(screenShown());
    EXPECT_FALSE(host->levels.empty()) << "levels pass through the screen";
    for (float level : host->levels) EXPECT_LT(level, 0.0f);
    EXPECT_TRUE(window->tap());
    ASSERT_TRUE(runMainLoopUntil([&] { return host->finals.size() == 1; }));
    EXPECT_FALSE(screenShown());
    EXPECT_EQ(host->finals[0].size(), 2u);
    EXPECT_TRUE(manager->isRecognizing())
        << "a finished screen run still counts until the next start";
    manager->startRecognize();
    EXPECT_TRUE(manager->isRecognizing());
    manager->stopRecognize();
}

TEST_F(ScreenRun, StopRecognizeClosesTheScreenAndTheResultStillArrives) {
    RecognitionServer server(partialThenFinalOnStop());
    manager->setDecoderUrl(server.decoderUrl());
    presentScreen();
    ASSERT_TRUE(runMainLoopUntil([&] { return host->partials.size() == 1; }));
    manager->stopRecognize();
    ASSERT_TRUE(runMainLoopUntil([&] { return host->finals.size() == 1; }));
    EXPECT_FALSE(screenShown());
    EXPECT_TRUE(manager->isRecognizing());
}

TEST_F(ScreenRun, AServerResultOrFailureClosesTheScreenByItself) {
    {
        RecognitionServer server(json::array(
            {{{"wait", "binary:1"}, {"send", RecognitionServer::finalResult({"ok"}, 1)}}}));
        manager->setDecoderUrl(server.decoderUrl());
        presentScreen();
        ASSERT_TRUE(runMainLoopUntil([&] { return host->finals.size() == 1; }));
        EXPECT_FALSE(screenShown());
    }
    RecognitionServer busy(json::array({{{"wait", "start"}, {"send", {{"status", "busy"}}}}}));
    manager->setDecoderUrl(busy.decoderUrl());
    presentScreen();
    ASSERT_TRUE(runMainLoopUntil([&] { return host->failures.size() == 1; }));
    EXPECT_EQ(host->failures[0], "Busy");
    EXPECT_FALSE(screenShown());
}

TEST_F(ScreenRun, EachReadBuildsANewScreenAndOnlyTheLastIsStopped) {
    auto first = manager->varenSTTViewController();
    auto second = manager->varenSTTViewController();
    EXPECT_NE(first, second);
    window->rootViewController()->presentViewControllerAnimatedCompletion(second, true);
    ASSERT_TRUE(runMainLoopUntil([&] { return screenShown(); }));
    manager->stopRecognize();
    ASSERT_TRUE(runMainLoopUntil([&] { return !screenShown(); }));
    EXPECT_TRUE(manager->isRecognizing());
}

TEST_F(ScreenRun, AManagerThatNoSharedPointerOwnsStillTellsItsHost) {
    VarenSTTManager local;
    local.setDelegate(host);
    local.varenSTTViewController();
    varen::SpeechToTextModule module;
    local.speechRecognizerDidRecognizeAudioWithText(module, {VarenSTTHypothesis{}});
    local.speechRecognizerDidFailWithError(module, varen::Error{"X", 1, {{"message", "m"}}});
    EXPECT_EQ(host->finals.size(), 1u);
    EXPECT_EQ(host->failures, std::vector<std::string>{"m"});
}
