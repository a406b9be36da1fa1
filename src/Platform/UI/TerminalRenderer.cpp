#include "varenstt/Platform/UIRenderer.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <type_traits>

#include "Platform/UI/TerminalCanvas.h"
#include "varenstt/Platform/DispatchQueue.h"

namespace varen::platform {

namespace {

// The settings to put back at exit, for a program that ends without stopping the renderer.
struct SavedTerminal {
    std::mutex mutex;
    bool saved = false;
    int fd = -1;
    termios settings{};
};

SavedTerminal& savedTerminal() {
    // Trivially destructible, so still usable from handlers that run after static destruction.
    static SavedTerminal terminal;
    static_assert(std::is_trivially_destructible_v<SavedTerminal>);
    return terminal;
}

void restoreSavedTerminal() {
    SavedTerminal& terminal = savedTerminal();
    std::lock_guard guard(terminal.mutex);
    if (!terminal.saved) return;
    ::tcsetattr(terminal.fd, TCSANOW, &terminal.settings);
    terminal.saved = false;
}

const char* const enterScreen = "\x1b[?1049h\x1b[?25l\x1b[2J";
const char* const leaveScreen = "\x1b[0m\x1b[?25h\x1b[?1049l";

}  // namespace

std::shared_ptr<TerminalRenderer> TerminalRenderer::create(int inputFd, int outputFd) {
    return std::make_shared<TerminalRenderer>(inputFd, outputFd);
}

TerminalRenderer::TerminalRenderer(int inputFd, int outputFd)
    : inputFd_(inputFd), outputFd_(outputFd) {}

TerminalRenderer::~TerminalRenderer() {
    stop();
}

std::string TerminalRenderer::renderToString(const Snapshot& snapshot, TerminalSize size) {
    ui::TerminalCanvas canvas(size);
    canvas.draw(snapshot);
    return canvas.ansi();
}

std::string TerminalRenderer::renderToPlainText(const Snapshot& snapshot, TerminalSize size) {
    ui::TerminalCanvas canvas(size);
    canvas.draw(snapshot);
    return canvas.plainText();
}

void TerminalRenderer::setFixedSize(std::optional<TerminalSize> size) {
    std::lock_guard guard(mutex_);
    fixedSize_ = size;
}

TerminalSize TerminalRenderer::size() const {
    {
        std::lock_guard guard(mutex_);
        if (fixedSize_) return *fixedSize_;
    }
    winsize window{};
    if (::ioctl(outputFd_, TIOCGWINSZ, &window) == 0 && window.ws_col > 0 && window.ws_row > 0) {
        return TerminalSize{window.ws_col, window.ws_row};
    }
    return TerminalSize{};
}

void TerminalRenderer::didAttachToWindow(const std::weak_ptr<Window>& window) {
    std::lock_guard guard(mutex_);
    window_ = window;
}

std::size_t TerminalRenderer::frameCount() const {
    std::lock_guard guard(mutex_);
    return frameCount_;
}

void TerminalRenderer::write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(outputFd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a closed terminal loses the picture, nothing else
        done += static_cast<std::size_t>(n);
    }
}

void TerminalRenderer::render(const Snapshot& snapshot) {
    const TerminalSize current = size();
    std::string frame = renderToString(snapshot, current);
    std::lock_guard guard(mutex_);
    if (frame == lastFrame_) return;
    std::string bytes;
    if (started_ && !enteredScreen_) {
        bytes += enterScreen;
        enteredScreen_ = true;
    }
    if (lastSize_ && *lastSize_ != current) bytes += "\x1b[2J";  // nothing left of the old size
    lastSize_ = current;
    bytes += frame;
    write(bytes);
    lastFrame_ = std::move(frame);
    ++frameCount_;
}

void TerminalRenderer::start() {
    if (started_.exchange(true)) return;
    stopping_ = false;
    if (::isatty(inputFd_)) {
        termios settings{};
        if (::tcgetattr(inputFd_, &settings) == 0) {
            {
                SavedTerminal& terminal = savedTerminal();
                std::lock_guard guard(terminal.mutex);
                terminal.saved = true;
                terminal.fd = inputFd_;
                terminal.settings = settings;
            }
            static std::once_flag registered;
            std::call_once(registered, [] { std::atexit(restoreSavedTerminal); });
            // Keys arrive one at a time and unechoed; Ctrl-C still interrupts.
            settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            settings.c_cc[VMIN] = 1;
            settings.c_cc[VTIME] = 0;
            ::tcsetattr(inputFd_, TCSANOW, &settings);
        }
    }
    {
        std::lock_guard guard(mutex_);
        write(enterScreen);
        enteredScreen_ = true;
        lastFrame_.clear();
    }
    if (::pipe(wakePipe_) != 0) {
        wakePipe_[0] = wakePipe_[1] = -1;
        return;  // no key input, but the picture still works
    }
    reader_ = std::thread([this] { readKeys(); });
}

void TerminalRenderer::stop() {
    if (!started_.exchange(false)) return;
    stopping_ = true;
    if (wakePipe_[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] ssize_t ignored = ::write(wakePipe_[1], &byte, 1);
    }
    if (reader_.joinable()) reader_.join();
    for (int& fd : wakePipe_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    restoreSavedTerminal();
    std::lock_guard guard(mutex_);
    if (enteredScreen_) write(leaveScreen);
    enteredScreen_ = false;
}

namespace {

// Asks the window for a redraw when the terminal no longer has the size last drawn; `requested`
// keeps one resize from asking again on every wake.
template <class WindowOf>
void redrawIfResized(const std::optional<TerminalSize>& drawn, TerminalSize now,
                     std::optional<TerminalSize>& requested, WindowOf windowOf) {
    if (!drawn || *drawn == now || requested == now) return;
    requested = now;
    DispatchQueue::main()->async([target = windowOf()] {
        if (auto shown = target.lock()) shown->setNeedsDisplay();
    });
}

enum class KeyRead { pressed, nothing, ended };

// One read is one key press, even when a key sends several bytes.
KeyRead readKeyPress(int fd) {
    char buffer[64];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return KeyRead::nothing;
    return n > 0 ? KeyRead::pressed : KeyRead::ended;
}

}  // namespace

void TerminalRenderer::readKeys() {
    auto window = [this] {
        std::lock_guard guard(mutex_);
        return window_;
    };
    std::optional<TerminalSize> requested;  // the size a redraw was last asked for
    bool reading = true;
    while (!stopping_) {
        pollfd fds[2] = {{reading ? inputFd_ : -1, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        // Wakes now and then to notice a resized terminal.
        const int ready = ::poll(fds, 2, 250);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0 || stopping_) return;
        std::optional<TerminalSize> drawn;
        {
            std::lock_guard guard(mutex_);
            drawn = lastSize_;
        }
        redrawIfResized(drawn, size(), requested, window);
        if (fds[0].revents == 0) continue;
        switch (readKeyPress(inputFd_)) {
            case KeyRead::nothing:
                break;
            case KeyRead::ended:
                reading = false;  // end of input: no more taps
                break;
            case KeyRead::pressed:
                DispatchQueue::main()->async([target = window()] {
                    if (auto shown = target.lock()) shown->tap();
                });
                break;
        }
    }
}

}  // namespace varen::platform
