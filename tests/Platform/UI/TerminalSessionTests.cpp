#include "varenstt/Platform/UIRenderer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "Platform/UI/UITestSupport.h"

using namespace std::chrono_literals;
using namespace varen;
using namespace varen::platform;

namespace {

// Output of a shell command line.
std::string capture(const std::string& commandLine) {
    std::string out;
    if (FILE* pipe = ::popen(commandLine.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 200; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

}  // namespace

// The program the session test runs inside tmux: a picture on the real terminal until a key.
TEST(DISABLED_TerminalHost, DrawsUntilAKeyIsPressed) {
    const char* result = std::getenv("UI_TERMINAL_RESULT");
    ASSERT_NE(result, nullptr);
    auto window = Window::create();
    auto root = window->rootViewController()->view();
    auto label = Label::create(Rect{0, 20, 320, 20});
    label->setText("Press any key");
    label->setTextAlignment(TextAlignment::center);
    auto ball = View::create(Rect{130, 100, 60, 60});
    ball->setBackgroundColor(Color{0.2, 0.45, 0.85, 1.0});
    ball->layer().setCornerRadius(30);
    root->addSubview(label);
    root->addSubview(ball);
    bool tapped = false;
    root->addGestureRecognizer(
        TapGestureRecognizer::create("tap", [&](TapGestureRecognizer&) { tapped = true; }));
    auto terminal = TerminalRenderer::create(STDIN_FILENO, STDOUT_FILENO);
    window->addRenderer(terminal);
    terminal->start();
    const bool ended = test::runMainLoopUntil([&] { return tapped; }, 20s);
    terminal->stop();
    test::writeTextFile(result, ended ? "tapped" : "timeout");
}

TEST(TerminalSession, RealTerminalShowsThePictureAndAKeyPressEndsIt) {
    if (test::runCommand("command -v tmux > /dev/null") != 0)
        GTEST_SKIP() << "tmux is not installed";
    test::TemporaryDirectory folder;
    const auto result = folder.path() / "result";
    const std::string tmux = "tmux -S " + (folder.path() / "socket").string();
    const std::string program = std::filesystem::canonical("/proc/self/exe").string();
    const std::string command = "env UI_TERMINAL_RESULT=" + result.string() + " " + program +
                                " --gtest_also_run_disabled_tests"
                                " --gtest_filter=DISABLED_TerminalHost.DrawsUntilAKeyIsPressed";
    ASSERT_EQ(test::runCommand(tmux + " new-session -d -x 80 -y 24 '" + command + "'"), 0);

    std::string screen;
    const bool drawn = eventually([&] {
        screen = capture(tmux + " capture-pane -p 2>/dev/null");
        return screen.find("Press any key") != std::string::npos;
    });
    EXPECT_TRUE(drawn) << screen;
    EXPECT_NE(screen.find("████████████"), std::string::npos) << screen;  // the ball, 12 wide
    EXPECT_EQ(screen.find("Running main()"), std::string::npos) << "drawn on the alternate screen";

    test::runCommand(tmux + " send-keys -t 0 x");
    EXPECT_TRUE(eventually([&] { return std::filesystem::exists(result); }));
    test::runCommand(tmux + " kill-server 2>/dev/null");
    EXPECT_EQ(test::readTextFile(result), "tapped");
}
