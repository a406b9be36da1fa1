#include "varenstt/Platform/UIView.h"

#include <gtest/gtest.h>

#include <thread>

#include "Platform/UI/UITestSupport.h"
#include "varenstt/Platform/UIRenderer.h"
#include "varenstt/Platform/UIWindow.h"

using namespace std::chrono_literals;
using namespace varen;
using namespace varen::platform;
using varen::test::runMainLoopUntil;

TEST(Layout, ConstraintsSetTheItemsSizeKeepingItsCentre) {
    auto root = View::create(Rect{0, 0, 320, 240});
    auto ball = View::create(Rect{100, 60, 60, 60});
    root->addSubview(ball);
    auto width = LayoutConstraint::create(ball, LayoutAttribute::width, 60);
    auto height = LayoutConstraint::create(ball, LayoutAttribute::height, 60);
    ball->addConstraint(width);
    ball->addConstraint(height);

    width->setConstant(100);
    height->setConstant(80);
    EXPECT_EQ(ball->frame(), (Rect{100, 60, 60, 60}));  // only a layout pass moves it
    root->layoutIfNeeded();
    EXPECT_EQ(ball->frame(), (Rect{80, 50, 100, 80}));

    width->setConstant(60);
    height->setConstant(60);
    root->layoutIfNeeded();
    EXPECT_EQ(ball->frame(), (Rect{100, 60, 60, 60}));
}

TEST(Layout, ControllerHearsOfEachPassThatHappens) {
    auto controller = std::make_shared<test::SampleController>("");
    auto root = controller->view();
    auto dot = View::create(Rect{0, 0, 10, 10});
    root->addSubview(dot);
    auto width = LayoutConstraint::create(dot, LayoutAttribute::width, 10);
    dot->addConstraint(width);

    root->layoutIfNeeded();
    EXPECT_EQ(controller->layouts, 1);
    root->layoutIfNeeded();  // nothing changed: no pass
    EXPECT_EQ(controller->layouts, 1);
    width->setConstant(10);  // same value: no pass either
    root->layoutIfNeeded();
    EXPECT_EQ(controller->layouts, 1);
    width->setConstant(20);
    root->layoutIfNeeded();
    EXPECT_EQ(controller->layouts, 2);
    EXPECT_EQ(dot->frame(), (Rect{-5, 0, 20, 10}));
}

TEST(Animate, RunsTheBlockAtOnceAndCompletesLaterOnTheMainLoop) {
    auto root = View::create(Rect{0, 0, 100, 100});
    auto ball = View::create(Rect{40, 40, 20, 20});
    root->addSubview(ball);
    auto width = LayoutConstraint::create(ball, LayoutAttribute::width, 20);
    ball->addConstraint(width);
    root->layoutIfNeeded();

    width->setConstant(40);
    bool finished = false;
    View::animate(
        0.01, [&] { root->layoutIfNeeded(); }, [&](bool done) { finished = done; });
    EXPECT_EQ(ball->frame(), (Rect{30, 40, 40, 20}));
    EXPECT_DOUBLE_EQ(View::lastAnimationDuration(), 0.01);
    EXPECT_FALSE(finished);
    EXPECT_TRUE(runMainLoopUntil([&] { return finished; }));
}

TEST(HeadlessRenderer, RecordsWhatIsVisibleAfterEachChange) {
    auto window = Window::create();
    auto renderer = HeadlessRenderer::create();
    window->addRenderer(renderer);
    auto root = window->rootViewController()->view();
    auto label = Label::create(Rect{10, 10, 100, 20});
    label->setIdentifier("label");
    auto box = View::create(Rect{0, 100, 50, 50});
    box->setIdentifier("box");
    auto inner = Label::create(Rect{5, 5, 10, 10});
    inner->setIdentifier("inner");
    box->addSubview(inner);
    root->addSubview(label);
    root->addSubview(box);
    ASSERT_TRUE(runMainLoopUntil([&] { return renderer->lastRecord().find("box"); }));
    EXPECT_EQ(renderer->lastRecord().find("inner")->frame, (Rect{5, 105, 10, 10}));

    const std::size_t before = renderer->recordCount();
    // Changes from another thread are drawn once the main loop runs.
    std::thread([&] {
        label->setText("one");
        label->setText("two");
        box->setHidden(true);
    }).join();
    ASSERT_TRUE(
        runMainLoopUntil([&] { return renderer->lastRecord().find("label")->text == "two"; }));
    EXPECT_EQ(renderer->lastRecord().find("box"), nullptr);
    EXPECT_EQ(renderer->lastRecord().find("inner"), nullptr);  // inside a hidden view
    EXPECT_EQ(renderer->recordCount(), before + 1);            // coalesced into one redraw

    window->setNeedsDisplay();  // nothing changed: nothing new recorded
    ASSERT_TRUE(test::drainMainLoop());
    EXPECT_EQ(renderer->recordCount(), before + 1);
}
