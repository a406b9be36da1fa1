#include "varenstt/Platform/UIViewController.h"

#include <gtest/gtest.h>

#include <thread>

#include "Platform/UI/UITestSupport.h"
#include "varenstt/Platform/Log.h"
#include "varenstt/Platform/RunLoop.h"
#include "varenstt/Platform/UIRenderer.h"
#include "varenstt/Platform/UIWindow.h"

using namespace std::chrono_literals;
using namespace varen;
using namespace varen::platform;
using varen::test::runMainLoopUntil;
using varen::test::SampleController;

namespace {

// Counts a completion and remembers whether it ran on the thread running the main loop.
struct CompletionProbe {
    int runs = 0;
    bool onMainLoop = false;
    ViewController::Completion completion() {
        return [this] {
            ++runs;
            onMainLoop = RunLoop::main()->isCurrent();
        };
    }
};

std::shared_ptr<SampleController> presentedOn(const std::shared_ptr<Window>& window,
                                              ModalPresentationStyle style) {
    auto controller = std::make_shared<SampleController>("");
    controller->setModalPresentationStyle(style);
    window->rootViewController()->presentViewControllerAnimatedCompletion(controller, true);
    return controller;
}

}  // namespace

TEST(Presentation, PresentedControllerIsSizedToTheWindowAndAppearsLater) {
    auto window = Window::create(Rect{0, 0, 400, 300});
    auto controller = presentedOn(window, ModalPresentationStyle::overFullScreen);
    EXPECT_EQ(controller->view()->frame(), (Rect{0, 0, 400, 300}));
    EXPECT_EQ(controller->loads, 1);
    EXPECT_EQ(controller->appearances, 0);  // not inside the call
    EXPECT_TRUE(runMainLoopUntil([&] { return controller->appearances == 1; }));
    EXPECT_EQ(window->topViewController(), controller);
    EXPECT_EQ(controller->presentingViewController(), window->rootViewController());
    EXPECT_EQ(controller->window(), window);
}

TEST(Presentation, DismissalCompletionRunsOnceOnTheMainLoopWhenPresented) {
    auto window = Window::create();
    auto controller = presentedOn(window, ModalPresentationStyle::overFullScreen);
    CompletionProbe probe;
    controller->dismissViewControllerAnimatedCompletion(true, probe.completion());
    EXPECT_EQ(probe.runs, 0);
    EXPECT_EQ(window->topViewController(), window->rootViewController());
    EXPECT_EQ(controller->presentingViewController(), nullptr);
    ASSERT_TRUE(runMainLoopUntil([&] { return probe.runs == 1; }));
    EXPECT_TRUE(probe.onMainLoop);
    ASSERT_TRUE(test::drainMainLoop());
    EXPECT_EQ(probe.runs, 1);
}

TEST(Presentation, DismissalCompletionRunsAlsoWithNothingToClose) {
    auto never = std::make_shared<SampleController>("");
    CompletionProbe neverProbe;
    // Asked from another thread too: the completion still lands on the main loop.
    std::thread([&] {
        never->dismissViewControllerAnimatedCompletion(false, neverProbe.completion());
    }).join();

    auto window = Window::create();
    auto twice = presentedOn(window, ModalPresentationStyle::overFullScreen);
    twice->dismissViewControllerAnimatedCompletion(true);
    CompletionProbe twiceProbe;
    twice->dismissViewControllerAnimatedCompletion(true, twiceProbe.completion());

    ASSERT_TRUE(runMainLoopUntil([&] { return neverProbe.runs == 1 && twiceProbe.runs == 1; }));
    EXPECT_TRUE(neverProbe.onMainLoop);
    EXPECT_TRUE(twiceProbe.onMainLoop);
}

TEST(Presentation, PresenterDismissesWhatItPresents) {
    auto window = Window::create();
    auto controller = presentedOn(window, ModalPresentationStyle::overFullScreen);
    window->rootViewController()->dismissViewControllerAnimatedCompletion(true);
    EXPECT_EQ(window->rootViewController()->presentedViewController(), nullptr);
    EXPECT_EQ(controller->presentingViewController(), nullptr);
}

TEST(Presentation, OnlyAFullScreenDismissalMakesThePresenterAppearAgain) {
    auto window = Window::create();
    auto below = presentedOn(window, ModalPresentationStyle::overFullScreen);
    ASSERT_TRUE(runMainLoopUntil([&] { return below->appearances == 1; }));

    auto cover = std::make_shared<SampleController>("");
    below->presentViewControllerAnimatedCompletion(cover, true);
    cover->dismissViewControllerAnimatedCompletion(true);
    ASSERT_TRUE(runMainLoopUntil([&] { return below->appearances == 2; }));

    auto overlay = std::make_shared<SampleController>("");
    overlay->setModalPresentationStyle(ModalPresentationStyle::overFullScreen);
    below->presentViewControllerAnimatedCompletion(overlay, true);
    bool done = false;
    overlay->dismissViewControllerAnimatedCompletion(true, [&] { done = true; });
    ASSERT_TRUE(runMainLoopUntil([&] { return done; }));
    ASSERT_TRUE(test::drainMainLoop());
    EXPECT_EQ(below->appearances, 2);
}

TEST(Presentation, SecondPresentationFromTheSameControllerOnlyLogs) {
    auto window = Window::create();
    std::vector<std::string> lines;
    setLogSink([&](const std::string& line) { lines.push_back(line); });
    auto first = presentedOn(window, ModalPresentationStyle::overFullScreen);
    auto second = presentedOn(window, ModalPresentationStyle::overFullScreen);
    setLogSink({});
    EXPECT_EQ(window->topViewController(), first);
    EXPECT_EQ(second->presentingViewController(), nullptr);
    EXPECT_EQ(lines,
              std::vector<std::string>{
                  "Cannot present a view controller from one that already presents another."});
}

TEST(Presentation, FullScreenCoversThePresenterOverFullScreenDoesNot) {
    auto window = Window::create();
    auto below = window->rootViewController()->view();
    auto marker = View::create(Rect{0, 0, 10, 10});
    marker->setIdentifier("marker");
    below->addSubview(marker);

    auto over = presentedOn(window, ModalPresentationStyle::overFullScreen);
    EXPECT_NE(window->snapshot().find("marker"), nullptr);
    over->dismissViewControllerAnimatedCompletion(false);
    presentedOn(window, ModalPresentationStyle::fullScreen);
    EXPECT_EQ(window->snapshot().find("marker"), nullptr);
}

TEST(Presentation, TapGoesToTheFrontMostRecognizerOfTheTopController) {
    test::ResourceFolder folder;
    folder.write("Sample", test::kSampleLayout);
    auto window = Window::create();
    EXPECT_FALSE(window->tap());  // nothing to take it
    auto controller = std::make_shared<SampleController>("Sample");
    int panelTaps = 0;
    window->rootViewController()->presentViewControllerAnimatedCompletion(controller, false);
    controller->panel.lock()->addGestureRecognizer(
        TapGestureRecognizer::create("panel", [&](TapGestureRecognizer&) { ++panelTaps; }));
    EXPECT_TRUE(window->tap());
    EXPECT_EQ(panelTaps, 1);
    EXPECT_EQ(controller->taps, 0);
    controller->panel.lock()->setHidden(true);
    EXPECT_TRUE(window->tap());
    EXPECT_EQ(controller->taps, 1);
}

TEST(Presentation, MemoryWarningReachesEveryShownController) {
    auto window = Window::create();
    auto controller = presentedOn(window, ModalPresentationStyle::overFullScreen);
    window->didReceiveMemoryWarning();
    EXPECT_EQ(controller->warnings, 1);
}

TEST(Presentation, ControllerClosedBeforeItsTransitionEndsNeverAppears) {
    auto window = Window::create();
    auto controller = presentedOn(window, ModalPresentationStyle::overFullScreen);
    bool closed = false;
    controller->dismissViewControllerAnimatedCompletion(true, [&] { closed = true; });
    ASSERT_TRUE(runMainLoopUntil([&] { return closed; }));
    EXPECT_EQ(controller->appearances, 0);
}
