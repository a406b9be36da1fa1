#include "varenstt/Platform/UIRenderer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "Platform/UI/TerminalCanvas.h"
#include "Platform/UI/UITestSupport.h"

using namespace std::chrono_literals;
using namespace varen;
using namespace varen::platform;
using varen::test::runMainLoopUntil;

namespace {

ViewRecord ball(double size) {
    ViewRecord record;
    record.identifier = "ball";
    record.frame = Rect{160 - size / 2, 120 - size / 2, size, size};
    record.backgroundColor = Color{0, 0, 1, 1};
    record.cornerRadius = size / 2;
    return record;
}

ViewRecord label(std::string text, Rect frame) {
    ViewRecord record;
    record.kind = ViewRecord::Kind::label;
    record.frame = frame;
    record.text = std::move(text);
    record.textAlignment = TextAlignment::center;
    return record;
}

Snapshot picture(std::vector<ViewRecord> views) {
    return Snapshot{Rect{0, 0, 320, 240}, std::move(views)};
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// Widest run of blocks on any row, and the number of rows that have one.
std::pair<std::size_t, int> blockExtent(const std::string& plain) {
    std::size_t widest = 0;
    int rows = 0;
    const std::string block = "█";
    for (const auto& line : lines(plain)) {
        std::size_t count = 0;
        for (std::size_t at = line.find(block); at != std::string::npos;
             at = line.find(block, at + 1)) {
            ++count;
        }
        widest = std::max(widest, count);
        rows += count > 0;
    }
    return {widest, rows};
}

}  // namespace

TEST(TerminalPicture, BallGrowsWithItsFrame) {
    const TerminalSize size{80, 24};  // 5 points a column, 10 a row for a 320 x 240 window
    EXPECT_EQ(blockExtent(TerminalRenderer::renderToPlainText(picture({ball(60)}), size)),
              (std::pair<std::size_t, int>{12, 6}));
    EXPECT_EQ(blockExtent(TerminalRenderer::renderToPlainText(picture({ball(100)}), size)),
              (std::pair<std::size_t, int>{20, 10}));
    EXPECT_EQ(blockExtent(TerminalRenderer::renderToPlainText(picture({}), size)),
              (std::pair<std::size_t, int>{0, 0}));
}

TEST(TerminalPicture, LabelTextIsCentredAndALongTextShowsItsEnd) {
    const auto plain = TerminalRenderer::renderToPlainText(
        picture({label("hello", Rect{0, 0, 320, 10})}), TerminalSize{64, 24});
    EXPECT_EQ(lines(plain).front(), std::string(29, ' ') + "hello");

    // 10 columns and two rows: only the last lines fit.
    const auto tail = lines(TerminalRenderer::renderToPlainText(
        picture({label("one two three four five", Rect{0, 0, 50, 20})}), TerminalSize{64, 24}));
    EXPECT_EQ(tail[0], "three four");
    EXPECT_EQ(tail[1], "   five");
}

TEST(TerminalPicture, TextNeverCarriesControlSequencesToTheTerminal) {
    const auto ansi = TerminalRenderer::renderToString(picture({label("a\x1b]0;owned\x07"
                                                                      "b\xff",
                                                                      Rect{0, 0, 320, 10})}),
                                                       TerminalSize{64, 24});
    EXPECT_EQ(ansi.find("\x1b]"), std::string::npos);
    EXPECT_EQ(ansi.find('\x07'), std::string::npos);
    EXPECT_EQ(ui::displayableText("a\x1b]0;x\x07"
                                  "b\xff\tc"),
              U"a\uFFFD]0;x\uFFFDb\uFFFD c");
    EXPECT_EQ(ui::displayableText("caf\xc3\xa9 \xe2\x82\xac"), U"café €");
    EXPECT_EQ(ui::displayableText("\xc0\xaf"), U"\uFFFD\uFFFD");  // overlong form
}

TEST(TerminalPicture, PanelWithAShadowGetsAFrameAndAShadow) {
    ViewRecord panel;
    panel.frame = Rect{60, 60, 100, 50};
    panel.backgroundColor = Color{1, 1, 1, 1};
    panel.cornerRadius = 5;
    panel.shadowColor = Color{0.1, 0.1, 0.1, 1};
    panel.shadowOpacity = 0.5f;
    panel.shadowOffset = Size{2, 2};
    const auto rows =
        lines(TerminalRenderer::renderToPlainText(picture({panel}), TerminalSize{64, 24}));
    EXPECT_EQ(
        rows[6], std::string(12, ' ') + "╭" + [] {
            std::string s;
            for (int i = 0; i < 18; ++i) s += "─";
            return s;
        }() + "╮");
    EXPECT_NE(rows[11].find("░"), std::string::npos);  // the shadow below the frame
}

TEST(TerminalPicture, WordWrapCutsOnlyWordsLongerThanALine) {
    EXPECT_EQ(ui::wrapText(U"ab cd ef", 5), (std::vector<std::u32string>{U"ab cd", U"ef"}));
    EXPECT_EQ(ui::wrapText(U"abcdefg", 3), (std::vector<std::u32string>{U"abc", U"def", U"g"}));
    EXPECT_TRUE(ui::wrapText(U"abc", 0).empty());
}

TEST(TerminalRenderer, KeyPressIsATapOnTheMainLoopAndEndOfInputStopsReading) {
    int keys[2];
    int screen[2];
    ASSERT_EQ(::pipe(keys), 0);
    ASSERT_EQ(::pipe(screen), 0);
    auto window = Window::create();
    int taps = 0;
    window->rootViewController()->view()->addGestureRecognizer(
        TapGestureRecognizer::create("tap", [&](TapGestureRecognizer&) { ++taps; }));
    auto renderer = TerminalRenderer::create(keys[0], screen[1]);
    renderer->setFixedSize(TerminalSize{40, 12});
    window->addRenderer(renderer);
    renderer->start();
    ASSERT_TRUE(runMainLoopUntil([&] { return renderer->frameCount() == 1; }));

    ASSERT_EQ(::write(keys[1], "x", 1), 1);
    ASSERT_TRUE(runMainLoopUntil([&] { return taps == 1; }));
    ::close(keys[1]);
    // The end of input is no key press. The reader sees the second new size on a later turn of
    // its loop than the one that met the end, so once that redraw is done, so is any tap.
    renderer->setFixedSize(TerminalSize{41, 12});
    ASSERT_TRUE(runMainLoopUntil([&] { return renderer->frameCount() == 2; }));
    renderer->setFixedSize(TerminalSize{42, 12});
    ASSERT_TRUE(runMainLoopUntil([&] { return renderer->frameCount() == 3; }));
    renderer->stop();
    EXPECT_EQ(taps, 1);

    ::close(screen[1]);
    std::string written;
    char buffer[4096];
    for (ssize_t n; (n = ::read(screen[0], buffer, sizeof buffer)) > 0;) written.append(buffer, n);
    ::close(screen[0]);
    ::close(keys[0]);
    EXPECT_EQ(written.rfind("\x1b[?1049h", 0), 0u);                 // alternate screen first
    EXPECT_TRUE(written.ends_with("\x1b[0m\x1b[?25h\x1b[?1049l"));  // and left at the end
}

TEST(TerminalRenderer, ResizedTerminalIsRedrawnAtItsNewSize) {
    int keys[2];
    int screen[2];
    ASSERT_EQ(::pipe(keys), 0);
    ASSERT_EQ(::pipe(screen), 0);
    auto window = Window::create();
    auto label = Label::create(Rect{0, 0, 320, 20});
    label->setText("resize me");
    window->rootViewController()->view()->addSubview(label);
    auto renderer = TerminalRenderer::create(keys[0], screen[1]);
    renderer->setFixedSize(TerminalSize{40, 12});
    window->addRenderer(renderer);
    renderer->start();
    ASSERT_TRUE(runMainLoopUntil([&] { return renderer->frameCount() == 1; }));
    renderer->setFixedSize(TerminalSize{60, 20});
    EXPECT_TRUE(runMainLoopUntil([&] { return renderer->frameCount() == 2; }));
    renderer->stop();
    for (int fd : {keys[0], keys[1], screen[0], screen[1]}) ::close(fd);
}
