#include "Platform/UI/LayoutResource.h"

#include <gtest/gtest.h>

#include "Platform/UI/UITestSupport.h"
#include "varenstt/Platform/Log.h"
#include "varenstt/Platform/UIWindow.h"

using namespace varen;
using namespace varen::platform;
using varen::test::ResourceFolder;
using varen::test::SampleController;

namespace {

Error invalid(const std::string& text) {
    return Error::withDescription(LayoutResourceErrorDomain, LayoutResourceInvalid, text);
}

std::optional<Error> errorOf(const std::string& text) {
    return ui::parseLayoutResource("Sample", text).error;
}

}  // namespace

TEST(LayoutResource, LoadConnectsOutletsAndTheTapAction) {
    ResourceFolder folder;
    folder.write("Sample", test::kSampleLayout);
    auto controller = std::make_shared<SampleController>("Sample");

    auto root = controller->view();
    EXPECT_EQ(controller->layoutError(), std::nullopt);
    EXPECT_EQ(controller->loads, 1);
    ASSERT_NE(controller->panel.lock(), nullptr);
    ASSERT_NE(controller->title.lock(), nullptr);
    ASSERT_NE(controller->width.lock(), nullptr);
    EXPECT_EQ(controller->panel.lock()->frame(), (Rect{20, 20, 200, 100}));
    EXPECT_EQ(controller->title.lock()->text(), "Hello");
    EXPECT_EQ(controller->title.lock()->superview(), controller->panel.lock());
    EXPECT_EQ(controller->width.lock()->item()->identifier(), "dot");
    EXPECT_EQ(controller->view(), root);  // loaded once
    EXPECT_EQ(controller->loads, 1);

    auto window = Window::create();
    window->rootViewController()->presentViewControllerAnimatedCompletion(controller, false);
    EXPECT_TRUE(window->tap());
    EXPECT_EQ(controller->taps, 1);
}

TEST(LayoutResource, OutletsAreWeakAndTheViewTreeOwnsTheObjects) {
    ResourceFolder folder;
    folder.write("Sample", test::kSampleLayout);
    auto controller = std::make_shared<SampleController>("Sample");
    controller->view()->subviews().front()->removeFromSuperview();
    EXPECT_EQ(controller->panel.lock(), nullptr);
    EXPECT_EQ(controller->title.lock(), nullptr);
    EXPECT_NE(controller->width.lock(), nullptr);
}

TEST(LayoutResource, MissingResourceGivesNotFoundAndAnEmptyView) {
    ResourceFolder folder;
    std::vector<std::string> lines;
    setLogSink([&](const std::string& line) { lines.push_back(line); });
    auto controller = std::make_shared<SampleController>("Absent");

    auto root = controller->view();
    const std::string text =
        "The layout resource \"Absent.json\" was not found (searched: " + folder.path() + ").";
    EXPECT_EQ(controller->layoutError(),
              Error::withDescription(LayoutResourceErrorDomain, LayoutResourceNotFound, text));
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(root->subviews().empty());
    EXPECT_EQ(controller->panel.lock(), nullptr);
    EXPECT_EQ(controller->loads, 1);
    EXPECT_EQ(lines,
              std::vector<std::string>{"Could not load the layout resource \"Absent\": " + text});
    setLogSink({});
}

TEST(LayoutResource, SearchesOnlyTheOverrideFolderWhenSet) {
    {
        ResourceFolder folder;
        EXPECT_EQ(ui::layoutResourceFolders(), std::vector<std::filesystem::path>{folder.path()});
    }
    // The install folder first, then the source tree's.
    const auto folders = ui::layoutResourceFolders();
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_TRUE(folders[0].string().ends_with("share/varenstt"));
    EXPECT_EQ(folders[1], std::filesystem::path(VARENSTT_SOURCE_DIR) / "src/Controllers/Resources");
}

TEST(LayoutResource, TextThatIsNotJsonIsMalformed) {
    EXPECT_EQ(
        errorOf(R"({"root": )"),
        Error::withDescription(LayoutResourceErrorDomain, LayoutResourceMalformed,
                               "The layout resource \"Sample\" is not valid JSON (at byte 10)."));
    EXPECT_EQ(errorOf(""), Error::withDescription(
                               LayoutResourceErrorDomain, LayoutResourceMalformed,
                               "The layout resource \"Sample\" is not valid JSON (at byte 1)."));
    EXPECT_EQ(errorOf(test::kSampleLayout), std::nullopt);
}

TEST(LayoutResource, RejectsContentItCannotBuild) {
    const std::string prefix = "The layout resource \"Sample\" is invalid: ";
    EXPECT_EQ(errorOf("[]"), invalid(prefix + "the document: expected an object."));
    EXPECT_EQ(errorOf(R"({"root": {"frame": [0, 0, 10]}})"),
              invalid(prefix + "root.frame: expected [x, y, width, height]."));
    EXPECT_EQ(errorOf(R"({"root": {"frame": [0, 0, -1, 5]}})"),
              invalid(prefix + "root.frame: negative size."));
    EXPECT_EQ(errorOf(R"({"root": {"frame": [0, 0, 1, 1], "backgroundColor": [0, 0, 2, 1]}})"),
              invalid(prefix + "root.backgroundColor[2]: expected 0 to 1."));
    EXPECT_EQ(errorOf(R"({"root": {"class": "Button", "frame": [0, 0, 1, 1]}})"),
              invalid(prefix + "root.class: unknown class \"Button\"."));
    EXPECT_EQ(errorOf(R"({"root": {"frame": [0, 0, 1, 1], "text": "x"}})"),
              invalid(prefix + "root: unknown key \"text\"."));
    EXPECT_EQ(errorOf(R"({"root": {"id": "a", "frame": [0, 0, 1, 1],
                          "subviews": [{"id": "a", "frame": [0, 0, 1, 1]}]}})"),
              invalid(prefix + "root.subviews[0].id: duplicate id \"a\"."));
    EXPECT_EQ(errorOf(R"({"root": {"frame": [0, 0, 1, 1]},
                          "constraints": [{"item": "ghost", "attribute": "width", "constant": 1}]})"),
              invalid(prefix + "constraints[0].item: no view with id \"ghost\"."));
    EXPECT_EQ(errorOf(R"({"root": {"frame": [0, 0, 1, 1]}, "outlets": {"panel": "ghost"}})"),
              invalid(prefix + "outlets.panel: no object with id \"ghost\"."));
    EXPECT_EQ(errorOf(R"({"root": {"frame": [0, 0, 1, 1]}})"), std::nullopt);
}

TEST(LayoutResource, DeepNestingIsRefusedNotWalked) {
    std::string nested = R"({"frame": [0, 0, 1, 1]})";
    for (int i = 0; i < 40; ++i)
        nested = R"({"frame": [0, 0, 1, 1], "subviews": [)" + nested + "]}";
    auto error = errorOf(R"({"root": )" + nested + "}");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, LayoutResourceInvalid);
    EXPECT_NE(error->localizedDescription().find("views nested too deeply"), std::string::npos);
}

TEST(LayoutResource, OutletsAndActionsMustFitTheController) {
    ResourceFolder folder;
    const std::string prefix = "The layout resource \"Bad\" is invalid: ";
    auto failureFor = [&](const std::string& text) {
        folder.write("Bad", text);
        auto controller = std::make_shared<SampleController>("Bad");
        controller->loadViewIfNeeded();
        // Nothing is connected from a resource that does not fit.
        EXPECT_EQ(controller->panel.lock(), nullptr);
        return controller->layoutError();
    };
    EXPECT_EQ(
        failureFor(R"({"root": {"id": "p", "frame": [0, 0, 1, 1]}, "outlets": {"title": "p"}})"),
        invalid(prefix + "outlets.title: expected a label."));
    EXPECT_EQ(failureFor(R"({"root": {"id": "p", "frame": [0, 0, 1, 1]},
                             "outlets": {"panel": "p", "sidebar": "p"}})"),
              invalid(prefix + "outlets.sidebar: the controller has no such outlet."));
    EXPECT_EQ(failureFor(R"({"root": {"id": "p", "frame": [0, 0, 1, 1],
                             "gestures": [{"class": "TapGestureRecognizer", "action": "pressed"}]},
                             "outlets": {"panel": "p"}})"),
              invalid(prefix + "the controller has no action \"pressed\"."));
}
