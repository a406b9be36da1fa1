#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "varenstt/Export.h"

namespace varen::platform {

class LayoutConstraint;
class TapGestureRecognizer;
class View;
class ViewController;
class Window;

// A colour from red, green, blue and alpha components, each 0 to 1.
struct VARENSTT_API Color {
    double red = 0.0;
    double green = 0.0;
    double blue = 0.0;
    double alpha = 1.0;

    static Color colorWithRedGreenBlueAlpha(double red, double green, double blue, double alpha) {
        return Color{red, green, blue, alpha};
    }
    bool operator==(const Color&) const = default;
};

struct VARENSTT_API Size {
    double width = 0.0;
    double height = 0.0;
    bool operator==(const Size&) const = default;
};

// A rectangle in points: origin (x, y) at the top left, y growing downwards.
struct VARENSTT_API Rect {
    double x = 0.0;
    double y = 0.0;
    double width = 0.0;
    double height = 0.0;
    bool operator==(const Rect&) const = default;
};

// The drawing attributes of a view: rounded corners and a drop shadow.
//
// Thread safety: as for View; a layer belongs to its view and shares the toolkit's lock.
class VARENSTT_API Layer {
  public:
    double cornerRadius() const;
    void setCornerRadius(double radius);
    std::optional<Color> shadowColor() const;
    void setShadowColor(std::optional<Color> color);
    float shadowOpacity() const;
    void setShadowOpacity(float opacity);
    double shadowRadius() const;
    void setShadowRadius(double radius);
    Size shadowOffset() const;
    void setShadowOffset(Size offset);

  private:
    friend class View;
    explicit Layer(View& view) : view_(view) {}

    View& view_;
    double cornerRadius_ = 0.0;
    std::optional<Color> shadowColor_;
    float shadowOpacity_ = 0.0f;
    double shadowRadius_ = 3.0;
    Size shadowOffset_{0.0, -3.0};
};

// A rectangle on screen with subviews. A view owns its subviews, its constraints and its gesture
// recognizers; it knows its superview weakly.
//
// Thread safety: every member may be called from any thread. All views share one recursive
// toolkit lock, so a change and a layout pass or a renderer's snapshot never overlap. Changes of
// a view shown in a window ask that window to redraw on the main run loop.
class VARENSTT_API View : public std::enable_shared_from_this<View> {
  public:
    static std::shared_ptr<View> create(Rect frame = {});
    explicit View(Rect frame = {});
    virtual ~View();
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    // A name for finding the view (the layout resource's object id); empty by default.
    std::string identifier() const;
    void setIdentifier(std::string identifier);

    Rect frame() const;
    void setFrame(Rect frame);
    bool isHidden() const;
    void setHidden(bool hidden);
    std::optional<Color> backgroundColor() const;
    void setBackgroundColor(std::optional<Color> color);
    Layer& layer() { return layer_; }
    const Layer& layer() const { return layer_; }

    void addSubview(const std::shared_ptr<View>& view);
    void removeFromSuperview();
    std::vector<std::shared_ptr<View>> subviews() const;
    std::shared_ptr<View> superview() const;

    // Constraints held by this view; each sizes its own item.
    void addConstraint(const std::shared_ptr<LayoutConstraint>& constraint);
    std::vector<std::shared_ptr<LayoutConstraint>> constraints() const;

    void addGestureRecognizer(const std::shared_ptr<TapGestureRecognizer>& recognizer);
    std::vector<std::shared_ptr<TapGestureRecognizer>> gestureRecognizers() const;

    // Marks the view for the next layout pass (changing a constraint's constant does this).
    void setNeedsLayout();
    // Runs a layout pass over this view's subtree at once when any view in it needs one: every
    // constraint sets its item's width or height, keeping the item's centre. A view controller's
    // root view then tells its controller (viewDidLayoutSubviews).
    void layoutIfNeeded();

    // Runs `animations` at once on the calling thread (a view that lays itself out inside it
    // takes its final frames at once); `completion` follows on the main run loop with true.
    static void animate(double duration, const std::function<void()>& animations,
                        std::function<void(bool finished)> completion = {});
    // The duration of the latest `animate` call, for renderers and tests; 0 before any.
    static double lastAnimationDuration();

  protected:
    // Asks the window showing this view, if any, to redraw. Called with the toolkit's lock held.
    void noteChange();

  private:
    friend class Layer;
    friend class LayoutConstraint;
    friend class ViewController;
    friend class Window;

    bool subtreeNeedsLayout() const;
    void layoutSubtree();

    std::string identifier_;
    Rect frame_;
    bool hidden_ = false;
    bool needsLayout_ = true;
    std::optional<Color> backgroundColor_;
    Layer layer_;
    std::weak_ptr<View> superview_;
    std::vector<std::shared_ptr<View>> subviews_;
    std::vector<std::shared_ptr<LayoutConstraint>> constraints_;
    std::vector<std::shared_ptr<TapGestureRecognizer>> recognizers_;
    // Set on a view controller's root view and on a window's top views.
    std::weak_ptr<ViewController> controller_;
    std::weak_ptr<Window> window_;
};

enum class TextAlignment { left, center, right };

// A view that shows one text, wrapped to its frame.
class VARENSTT_API Label : public View {
  public:
    static std::shared_ptr<Label> create(Rect frame = {});
    using View::View;

    std::string text() const;
    void setText(std::string text);
    std::optional<Color> textColor() const;
    void setTextColor(std::optional<Color> color);
    TextAlignment textAlignment() const;
    void setTextAlignment(TextAlignment alignment);

  private:
    std::string text_;
    std::optional<Color> textColor_;
    TextAlignment alignment_ = TextAlignment::left;
};

// An image by name, with the text a character display shows for it.
struct VARENSTT_API Image {
    std::string name;
    std::string text;
    bool operator==(const Image&) const = default;
};

class VARENSTT_API ImageView : public View {
  public:
    static std::shared_ptr<ImageView> create(Rect frame = {});
    using View::View;

    std::optional<Image> image() const;
    void setImage(std::optional<Image> image);
    std::optional<Color> tintColor() const;
    void setTintColor(std::optional<Color> color);

  private:
    std::optional<Image> image_;
    std::optional<Color> tintColor_;
};

enum class LayoutAttribute { width, height };

// Fixes one dimension of a view (its item) to a constant.
//
// Thread safety: as for View.
class VARENSTT_API LayoutConstraint : public std::enable_shared_from_this<LayoutConstraint> {
  public:
    static std::shared_ptr<LayoutConstraint> create(const std::shared_ptr<View>& item,
                                                    LayoutAttribute attribute, double constant);
    LayoutConstraint(const std::shared_ptr<View>& item, LayoutAttribute attribute, double constant);

    std::string identifier() const;
    void setIdentifier(std::string identifier);
    std::shared_ptr<View> item() const;
    LayoutAttribute attribute() const { return attribute_; }
    double constant() const;
    // Takes effect in the item's next layout pass.
    void setConstant(double constant);

  private:
    friend class View;
    std::string identifier_;
    std::weak_ptr<View> item_;
    LayoutAttribute attribute_;
    double constant_;
};

// Recognizes a tap on its view and sends its action.
//
// Thread safety: `tap` runs the action on the calling thread; renderers call it on the main
// run loop.
class VARENSTT_API TapGestureRecognizer
    : public std::enable_shared_from_this<TapGestureRecognizer> {
  public:
    using Action = std::function<void(TapGestureRecognizer&)>;

    // `actionName` names the action in the layout resource; the action itself is connected by
    // the view controller that loads it.
    static std::shared_ptr<TapGestureRecognizer> create(std::string actionName, Action action = {});
    TapGestureRecognizer(std::string actionName, Action action);

    const std::string& actionName() const { return actionName_; }
    void setAction(Action action);
    std::shared_ptr<View> view() const;
    // A tap on the view: sends the action (nothing when none is connected).
    void tap();

  private:
    friend class View;
    std::string actionName_;
    Action action_;
    std::weak_ptr<View> view_;
};

}  // namespace varen::platform
