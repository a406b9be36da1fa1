#include "varenstt/VarenSTTViewController.h"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include "Managers/SpeechToTextModule.h"
#include "Support/RecognitionServer.h"
#include "Support/TestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"
#include "varenstt/Platform/AudioSession.h"
#include "varenstt/Platform/RunLoop.h"
#include "varenstt/Platform/UIRenderer.h"
#include "varenstt/Platform/UIWindow.h"
#include "varenstt/VarenSTTManager.h"

using namespace std::chrono_literals;
using namespace varen;
using namespace varen::platform;
using nlohmann::json;
using varen::test::RecognitionServer;
using varen::test::runMainLoopUntil;

namespace {

class RecordingDelegate : public VarenSTTViewControllerDelegate {
  public:
    void didRecognizePartialText(const std::string& text) override {
        std::lock_guard guard(mutex);
        texts.push_back(text);
        textThreads.push_back(std::this_thread::get_id());
    }
    void didChangeVolumeWithDecibels(float decibels) override {
        std::lock_guard guard(mutex);
        levels.push_back(decibels);
    }
    std::mutex mutex;
    std::vector<std::string> texts;
    std::vector<std::thread::id> textThreads;
    std::vector<float> levels;
};

class SpeechDelegate : public SpeechToTextModuleDelegate {
  public:
    void speechRecognizerDidRecognizeAudioWithText(
        SpeechToTextModule&, const std::vector<VarenSTTHypothesis>& hypotheses) override {
        finals.push_back(hypotheses);
    }
    void speechRecognizerDidFailWithError(SpeechToTextModule&, const Error& error) override {
        failures.push_back(error);
    }
    std::vector<std::vector<VarenSTTHypothesis>> finals;
    std::vector<Error> failures;
};

std::vector<ScriptedAudioBuffer> toneBuffers(int count) {
    std::vector<ScriptedAudioBuffer> buffers;
    for (int i = 0; i < count; ++i) {
        std::vector<std::int16_t> pcm(4000);
        for (std::size_t k = 0; k < pcm.size(); ++k) {
            pcm[k] = static_cast<std::int16_t>(16000.0 * std::sin(2.0 * M_PI * 440.0 * k / 8000.0));
        }
        buffers.push_back(ScriptedAudioBuffer::pcm(pcm));
    }
    return buffers;
}

// A screen starts a recognition when it appears. The microphone is refused unless a test grants
// it, so that no test reaches for this machine's input device or its sound server (whose client
// library, on another thread, the thread sanitizer reported).
class NoMicrophoneUnlessGranted : public ::testing::Environment {
  public:
    void SetUp() override {
        AudioSession::sharedInstance()->setRecordPermissionPolicy(
            AudioSession::RecordPermissionPolicy::deny);
    }
};
[[maybe_unused]] const auto* const kNoMicrophone =
    ::testing::AddGlobalTestEnvironment(new NoMicrophoneUnlessGranted);

// A screen shown in a window whose pictures are recorded; it has not appeared yet.
struct ShownScreen {
    std::shared_ptr<Window> window = Window::create();
    std::shared_ptr<HeadlessRenderer> renderer = HeadlessRenderer::create();
    std::shared_ptr<VarenSTTViewController> screen;

    explicit ShownScreen(const std::string& prompt)
        : screen(VarenSTTViewController::initWithPromptMessage(prompt)) {
        window->addRenderer(renderer);
        window->rootViewController()->presentViewControllerAnimatedCompletion(screen, true);
    }
    Snapshot picture() { return window->snapshot(); }
};

}  // namespace

TEST(VarenSTTViewController, DefaultStyleIsOverFullScreenWithCrossDissolve) {
    auto screen = VarenSTTViewController::initWithDefaultStyle();
    EXPECT_EQ(static_cast<int>(screen->modalPresentationStyle()), 5);
    EXPECT_EQ(static_cast<int>(screen->modalTransitionStyle()), 2);
    EXPECT_EQ(static_cast<int>(VarenSTTViewController::create()->modalPresentationStyle()), 5);
    EXPECT_EQ(screen->initialMessage(), "");
    EXPECT_FALSE(screen->isViewLoaded());
}

TEST(VarenSTTViewController, LoadingConnectsEveryOutletAndShowsThePrompt) {
    auto screen = VarenSTTViewController::initWithPromptMessage("Say a city");
    screen->loadViewIfNeeded();
    ASSERT_EQ(screen->layoutError(), std::nullopt);
    EXPECT_NE(screen->alertView(), nullptr);
    EXPECT_NE(screen->audioBall(), nullptr);
    EXPECT_NE(screen->micBall(), nullptr);
    EXPECT_NE(screen->outputLabel(), nullptr);
    EXPECT_NE(screen->varenImageView(), nullptr);
    ASSERT_NE(screen->promptLabel(), nullptr);
    EXPECT_EQ(screen->promptLabel()->text(), "Say a city");
    ASSERT_NE(screen->audioBallWidthConstraint(), nullptr);
    ASSERT_NE(screen->audioBallHeightConstraint(), nullptr);
    EXPECT_EQ(screen->audioBallWidthConstraint()->item(), screen->audioBall());
    EXPECT_EQ(screen->audioBallHeightConstraint()->item(), screen->audioBall());
    EXPECT_EQ(screen->audioBallWidthConstraint()->attribute(), LayoutAttribute::width);
}

TEST(VarenSTTViewController, LayoutMakesCirclesAndAShadowedPanel) {
    ShownScreen shown("Speak");
    auto& screen = shown.screen;
    EXPECT_EQ(screen->micBall()->layer().cornerRadius(), screen->micBall()->frame().width / 2);
    EXPECT_EQ(screen->audioBall()->layer().cornerRadius(), 30.0);
    const Layer& panel = screen->alertView()->layer();
    EXPECT_EQ(panel.shadowColor(), (Color{0.1, 0.1, 0.1, 1.0}));
    EXPECT_EQ(panel.shadowOpacity(), 0.5f);
    EXPECT_EQ(panel.shadowRadius(), 2.0);
    EXPECT_EQ(panel.shadowOffset(), (Size{2.0, 2.0}));
    EXPECT_EQ(panel.cornerRadius(), 5.0);
}

TEST(VarenSTTViewController, LevelSizesTheBallAroundItsCentreAndReachesTheDelegateClamped) {
    ShownScreen shown("Speak");
    auto& screen = shown.screen;
    auto delegate = std::make_shared<RecordingDelegate>();
    screen->setDelegate(delegate);
    const Rect before = screen->audioBall()->frame();

    screen->volumeChangedWithDecibels(0.0f);
    EXPECT_EQ(screen->audioBallWidthConstraint()->constant(), 99.5);
    EXPECT_EQ(screen->audioBallHeightConstraint()->constant(), 99.5);
    const Rect after = screen->audioBall()->frame();  // laid out at once, inside the animation
    EXPECT_EQ(after.width, 99.5);
    EXPECT_EQ(after.height, 99.5);
    EXPECT_DOUBLE_EQ(after.x + after.width / 2, before.x + before.width / 2);
    EXPECT_DOUBLE_EQ(after.y + after.height / 2, before.y + before.height / 2);
    EXPECT_EQ(screen->audioBall()->layer().cornerRadius(), 99.5 / 2);
    EXPECT_DOUBLE_EQ(View::lastAnimationDuration(), 0.01);

    screen->volumeChangedWithDecibels(-80.0f);
    EXPECT_EQ(screen->audioBall()->frame().width, 60.0);
    EXPECT_EQ(delegate->levels, (std::vector<float>{-1.0f, -80.0f}));

    ASSERT_TRUE(runMainLoopUntil(
        [&] { return shown.renderer->lastRecord().find("audioBall") != nullptr; }));
    EXPECT_EQ(shown.renderer->lastRecord().find("audioBall")->frame.width, 60.0);
}

TEST(VarenSTTViewController, FirstPartialTextHidesTheBrandLaterOnesOnlyReplaceTheText) {
    ShownScreen shown("Speak");
    auto& screen = shown.screen;
    auto delegate = std::make_shared<RecordingDelegate>();
    screen->setDelegate(delegate);
    ASSERT_NE(shown.picture().find("varenImageView"), nullptr);

    // From another thread: the delegate hears at once there, the views change on the main loop.
    std::thread::id caller;
    std::thread([&] {
        caller = std::this_thread::get_id();
        screen->partialTextRecognized("hello");
    }).join();
    EXPECT_EQ(delegate->texts, std::vector<std::string>{"hello"});
    EXPECT_EQ(delegate->textThreads, std::vector<std::thread::id>{caller});
    EXPECT_EQ(screen->outputLabel()->text(), "");
    EXPECT_FALSE(screen->varenImageView()->isHidden());

    ASSERT_TRUE(runMainLoopUntil([&] { return screen->outputLabel()->text() == "hello"; }));
    EXPECT_TRUE(screen->varenImageView()->isHidden());
    EXPECT_EQ(shown.picture().find("varenImageView"), nullptr);

    screen->partialTextRecognized("hello world");
    ASSERT_TRUE(runMainLoopUntil([&] { return screen->outputLabel()->text() == "hello world"; }));
    EXPECT_TRUE(screen->varenImageView()->isHidden());
    EXPECT_EQ(shown.picture().find("outputLabel")->text, "hello world");
    EXPECT_EQ(delegate->texts, (std::vector<std::string>{"hello", "hello world"}));
}

TEST(VarenSTTViewController, ScreenWithoutDelegateStillUpdatesItsViews) {
    ShownScreen shown("Speak");
    auto& screen = shown.screen;
    {
        auto gone = std::make_shared<RecordingDelegate>();
        screen->setDelegate(gone);
    }  // the weak reference expires: the same as no delegate
    screen->volumeChangedWithDecibels(-40.0f);
    screen->partialTextRecognized("quiet");
    EXPECT_EQ(screen->audioBall()->frame().width, 80.0);
    ASSERT_TRUE(runMainLoopUntil([&] { return screen->outputLabel()->text() == "quiet"; }));
}

TEST(VarenSTTViewController, TapBeforeAppearingOnlyDismisses) {
    ShownScreen shown("Speak");
    auto& screen = shown.screen;
    EXPECT_TRUE(shown.window->tap());
    EXPECT_EQ(screen->presentingViewController(), nullptr);
    EXPECT_EQ(shown.window->topViewController(), shown.window->rootViewController());
    ASSERT_TRUE(test::drainMainLoop());  // the queued appearance has come and gone
    EXPECT_EQ(screen->module(), nullptr);  // dismissed before it came on screen
    EXPECT_EQ(shown.renderer->lastRecord().find("alertView"), nullptr);
}

TEST(VarenSTTViewController, MissingLayoutLeavesAWorkingScreenWithoutViews) {
    test::TemporaryDirectory empty;
    ::setenv("VARENSTT_RESOURCE_DIR", empty.path().c_str(), 1);
    auto screen = VarenSTTViewController::initWithPromptMessage("Speak");
    screen->loadViewIfNeeded();
    ::unsetenv("VARENSTT_RESOURCE_DIR");
    ASSERT_TRUE(screen->layoutError());
    EXPECT_EQ(screen->layoutError()->code, LayoutResourceNotFound);
    EXPECT_EQ(screen->promptLabel(), nullptr);
    screen->volumeChangedWithDecibels(-40.0f);
    screen->partialTextRecognized("text");
    screen->stopAndDismiss();
    EXPECT_TRUE(test::drainMainLoop());
}

TEST(VarenSTTViewController, AppearingRunsARecognitionThatATapStops) {
    test::TemporaryHome home;
    RecognitionServer server(json::array({
        {{"wait", "start"}, {"send", {{"status", "ready"}}}},
        {{"wait", "binary:3"}, {"send", {{"final", false}, {"transcript", "hello"}}}},
        {{"wait", "stop"}, {"send", RecognitionServer::finalResult({"hello there"}, 0.8)}},
        {{"wait", "close"}},
    }));
    VarenSTTManager::shared()->setDecoderUrl(server.decoderUrl());
    AudioSession::sharedInstance()->setRecordPermissionPolicy(
        AudioSession::RecordPermissionPolicy::grant);
    setDefaultAudioInputSource(AudioInputSource::scripted(toneBuffers(60), 100ms));
    auto speech = std::make_shared<SpeechDelegate>();
    auto delegate = std::make_shared<RecordingDelegate>();
    ShownScreen shown("Speak");
    auto& screen = shown.screen;
    screen->setSpeechDelegate(speech);
    screen->setDelegate(delegate);

    ASSERT_TRUE(
        runMainLoopUntil([&] { return screen->module() && screen->module()->recording(); }));
    EXPECT_EQ(screen->module()->delegate(), speech);
    EXPECT_EQ(screen->module()->audioDelegate(), screen);
    ASSERT_TRUE(runMainLoopUntil([&] {
        const Snapshot picture = shown.renderer->lastRecord();
        const ViewRecord* output = picture.find("outputLabel");
        return output && output->text == "hello";
    }));
    EXPECT_EQ(shown.renderer->lastRecord().find("varenImageView"), nullptr);
    ASSERT_TRUE(runMainLoopUntil([&] {
        std::lock_guard guard(delegate->mutex);
        return !delegate->levels.empty();
    }));
    {
        std::lock_guard guard(delegate->mutex);
        // A tone at half scale is far above -80 dB: the ball is bigger than its smallest size.
        EXPECT_LT(delegate->levels.back(), 0.0f);
        EXPECT_GT(screen->audioBall()->frame().width, 60.0);
        EXPECT_EQ(screen->audioBall()->frame().width,
                  screen->audioBallWidthConstraint()->constant());
    }

    auto module = screen->module();
    EXPECT_TRUE(shown.window->tap());
    EXPECT_FALSE(module->recording());
    EXPECT_EQ(screen->module(), module);  // kept after the stop
    EXPECT_EQ(screen->presentingViewController(), nullptr);
    ASSERT_TRUE(runMainLoopUntil([&] { return speech->finals.size() == 1; }));
    EXPECT_EQ(speech->finals[0].at(0).transcript(), "hello there");
    EXPECT_EQ(server.textMessages().size(), 2u);  // the start and one stop command
    EXPECT_EQ(delegate->texts, std::vector<std::string>{"hello"});
}

TEST(VarenSTTViewController, EachAppearanceCreatesItsOwnModule) {
    AudioSession::sharedInstance()->setRecordPermissionPolicy(
        AudioSession::RecordPermissionPolicy::deny);
    auto speech = std::make_shared<SpeechDelegate>();
    ShownScreen shown("Speak");
    auto& screen = shown.screen;
    screen->setSpeechDelegate(speech);
    ASSERT_TRUE(runMainLoopUntil([&] { return speech->failures.size() == 1; }));
    EXPECT_EQ(
        speech->failures[0],
        (Error{"VarenSTT", 0, {{"message", "User does not granted microphone permissions"}}}));
    auto first = screen->module();
    ASSERT_NE(first, nullptr);

    // Another screen over it, closed again: the screen comes back on screen.
    auto cover = platform::ViewController::create();
    screen->presentViewControllerAnimatedCompletion(cover, false);
    cover->dismissViewControllerAnimatedCompletion(false);
    ASSERT_TRUE(runMainLoopUntil([&] { return speech->failures.size() == 2; }));
    EXPECT_NE(screen->module(), first);
    EXPECT_EQ(screen->module()->audioDelegate(), screen);
}
