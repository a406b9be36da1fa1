#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "varenstt/Export.h"
#include "varenstt/Platform/UIWindow.h"

namespace varen::platform {

// Records every distinct picture its window showed, for tests.
//
// Thread safety: `render` runs on the main run loop; the accessors may be called from any thread.
class VARENSTT_API HeadlessRenderer : public Renderer {
  public:
    static std::shared_ptr<HeadlessRenderer> create();

    void render(const Snapshot& snapshot) override;

    // Every picture, oldest first; a redraw that shows the same as the last is not recorded.
    std::vector<Snapshot> records() const;
    // The latest picture; empty before the first redraw.
    Snapshot lastRecord() const;
    std::size_t recordCount() const;

  private:
    mutable std::mutex mutex_;
    std::vector<Snapshot> records_;
};

// Text as it may be written to a terminal: control characters and invalid UTF-8 become U+FFFD,
// tabs and line breaks spaces, so that a peer's text can never steer the terminal.
VARENSTT_API std::string terminalSafeText(std::string_view utf8);

struct VARENSTT_API TerminalSize {
    int columns = 80;
    int rows = 24;
    bool operator==(const TerminalSize&) const = default;
};

// Draws its window on a character terminal with ANSI escapes, redrawing when the picture
// changes; any key press is a tap, delivered on the main run loop.
//
// The window is scaled to fit the terminal with cells twice as tall as wide. Round views are drawn
// as solid blocks, other views with a background colour as coloured areas, views with a shadow
// get a frame and a shadow, labels their text wrapped to their frame (the end of a long text
// stays in sight). Control characters and invalid UTF-8 in texts are never written as they are.
//
// Thread safety: `render` runs on the main run loop; `start` and `stop` on one host thread.
// Input is read on the renderer's own thread.
class VARENSTT_API TerminalRenderer : public Renderer {
  public:
    // Draws to `outputFd` and reads keys from `inputFd` (a terminal is switched to raw mode
    // while started; anything else is read as it is, each read being one tap, end of input
    // ending the reading).
    static std::shared_ptr<TerminalRenderer> create(int inputFd = 0, int outputFd = 1);
    TerminalRenderer(int inputFd, int outputFd);
    ~TerminalRenderer() override;

    // The picture for a terminal of that size: ANSI escapes, a full-screen frame.
    static std::string renderToString(const Snapshot& snapshot, TerminalSize size);
    // The same picture without escapes: one line per row, trailing blanks removed.
    static std::string renderToPlainText(const Snapshot& snapshot, TerminalSize size);

    // Uses this size instead of asking the terminal (80 x 24 when it cannot be asked).
    void setFixedSize(std::optional<TerminalSize> size);
    TerminalSize size() const;

    // Switches to the alternate screen, hides the cursor, sets raw mode and starts reading keys.
    void start();
    // Stops reading and restores the terminal; also done by the destructor and at exit.
    void stop();
    bool isStarted() const { return started_; }

    void render(const Snapshot& snapshot) override;
    void didAttachToWindow(const std::weak_ptr<Window>& window) override;
    // Number of frames written so far.
    std::size_t frameCount() const;

  private:
    void readKeys();
    void write(const std::string& bytes);

    int inputFd_;
    int outputFd_;
    mutable std::mutex mutex_;
    std::weak_ptr<Window> window_;
    std::optional<TerminalSize> fixedSize_;
    std::string lastFrame_;
    std::optional<TerminalSize> lastSize_;
    std::size_t frameCount_ = 0;
    bool enteredScreen_ = false;
    std::atomic<bool> started_{false};
    std::atomic<bool> stopping_{false};
    int wakePipe_[2] = {-1, -1};
    std::thread reader_;
};

}  // namespace varen::platform
