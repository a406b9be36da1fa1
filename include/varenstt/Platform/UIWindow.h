#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "varenstt/Export.h"
#include "varenstt/Platform/UIView.h"
#include "varenstt/Platform/UIViewController.h"

namespace varen::platform {

// One visible view as a person would see it, in window coordinates.
struct VARENSTT_API ViewRecord {
    enum class Kind { view, label, imageView };

    std::string identifier;
    Kind kind = Kind::view;
    Rect frame;
    int depth = 0;  // 0 for a controller's root view
    std::optional<Color> backgroundColor;
    double cornerRadius = 0.0;
    std::optional<Color> shadowColor;
    float shadowOpacity = 0.0f;
    Size shadowOffset;
    std::string text;  // a label's text, an image's text form
    std::optional<Color> textColor;
    TextAlignment textAlignment = TextAlignment::left;
    std::string imageName;

    bool operator==(const ViewRecord&) const = default;
};

// What a window shows: its visible views from back to front. Hidden views and everything inside
// them are left out, and so are controllers covered by a full-screen presentation.
struct VARENSTT_API Snapshot {
    Rect bounds;
    std::vector<ViewRecord> views;

    // The first visible view with that identifier, or null.
    const ViewRecord* find(std::string_view identifier) const;
    bool operator==(const Snapshot&) const = default;
};

// Draws what a window shows. `render` runs on the main run loop after changes.
class VARENSTT_API Renderer {
  public:
    virtual ~Renderer() = default;
    virtual void render(const Snapshot& snapshot) = 0;
    // The window the renderer was added to; it sends taps there.
    virtual void didAttachToWindow(const std::weak_ptr<Window>& window) { (void)window; }
};

// The screen a host shows its controllers on: a root controller and what it presents, drawn by
// the window's renderers.
//
// Thread safety: views may change on any thread; the window then redraws once on the main run
// loop (changes in between are coalesced). The other members belong to the main thread.
class VARENSTT_API Window : public std::enable_shared_from_this<Window> {
  public:
    static constexpr Rect defaultBounds{0.0, 0.0, 320.0, 240.0};

    // A window with a plain root controller (empty root view) to present from.
    static std::shared_ptr<Window> create(Rect bounds = defaultBounds);
    explicit Window(Rect bounds);
    ~Window();

    Rect bounds() const { return bounds_; }
    std::shared_ptr<ViewController> rootViewController() const;
    // Shows the controller as the window's root, sized to the window; it appears on the main
    // run loop.
    void setRootViewController(const std::shared_ptr<ViewController>& controller);
    // The controller at the end of the presentation chain.
    std::shared_ptr<ViewController> topViewController() const;

    void addRenderer(const std::shared_ptr<Renderer>& renderer);
    // Lays out what is shown and records it.
    Snapshot snapshot() const;
    // Asks for a redraw on the main run loop.
    void setNeedsDisplay();
    // Redraws now, on the calling thread.
    void display();

    // A tap anywhere: the front-most visible view of the top controller with a tap recognizer
    // receives it. True when a recognizer took it.
    bool tap();
    // Sends didReceiveMemoryWarning to every controller shown, root first.
    void didReceiveMemoryWarning();

  private:
    Rect bounds_;
    std::shared_ptr<ViewController> root_;
    mutable std::mutex renderersMutex_;
    std::vector<std::shared_ptr<Renderer>> renderers_;
    std::atomic<bool> displayScheduled_{false};
};

}  // namespace varen::platform
