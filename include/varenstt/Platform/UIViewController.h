#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

#include "varenstt/Export.h"
#include "varenstt/Platform/Error.h"
#include "varenstt/Platform/UIView.h"

namespace varen::platform {

// How a presented controller covers its presenter. Values as the toolkit numbers them.
enum class ModalPresentationStyle : int {
    fullScreen = 0,      // the presenter's views are not shown underneath
    overFullScreen = 5,  // the presenter's views stay visible underneath
};

enum class ModalTransitionStyle : int {
    coverVertical = 0,
    crossDissolve = 2,
};

// Errors of loading a layout resource.
inline constexpr const char* LayoutResourceErrorDomain = "VarenSTTLayoutResource";
enum LayoutResourceErrorCode : std::int64_t {
    LayoutResourceNotFound = 1,
    LayoutResourceUnreadable = 2,
    LayoutResourceMalformed = 3,  // not JSON
    LayoutResourceInvalid = 4,    // JSON, but not a layout this controller can use
};

// The environment variable that, when set, names the only folder searched for layout resources.
inline constexpr const char* ResourceDirEnvironmentVariable = "VARENSTT_RESOURCE_DIR";

// What a layout resource can connect to an outlet.
using LayoutObject = std::variant<std::shared_ptr<View>, std::shared_ptr<LayoutConstraint>>;

// Manages a view tree, loaded on first use from a named layout resource ("<name>.json" in the
// library's resource folder) or created empty. Subclasses register their outlets and actions in
// their constructor; loading connects them.
//
// A resource that is missing or unusable never stops the program: the controller gets an empty
// root view, no outlet is connected, `layoutError()` tells why and a log line says so.
//
// Presentation: a controller presents at most one other controller; `viewDidAppear` and the
// completions run later on the main run loop, never inside the call.
//
// Thread safety: `view()` and the accessors may be called from any thread (the view tree has
// the toolkit's lock). Presentation, dismissal and the lifecycle calls belong to the main
// thread, the one running the main run loop.
class VARENSTT_API ViewController : public std::enable_shared_from_this<ViewController> {
  public:
    using Completion = std::function<void()>;

    // A controller with an empty root view.
    static std::shared_ptr<ViewController> create();
    // A controller whose view comes from the layout resource of that name.
    static std::shared_ptr<ViewController> initWithNibName(std::string nibName);

    explicit ViewController(std::string nibName = {});
    virtual ~ViewController();
    ViewController(const ViewController&) = delete;
    ViewController& operator=(const ViewController&) = delete;

    const std::string& nibName() const { return nibName_; }

    // The root view, loaded on first use (then `viewDidLoad` runs).
    std::shared_ptr<View> view();
    bool isViewLoaded() const;
    void loadViewIfNeeded();
    // Why the layout resource could not be used; none after a good load or before loading.
    std::optional<Error> layoutError() const;

    ModalPresentationStyle modalPresentationStyle() const { return presentationStyle_; }
    void setModalPresentationStyle(ModalPresentationStyle style) { presentationStyle_ = style; }
    ModalTransitionStyle modalTransitionStyle() const { return transitionStyle_; }
    void setModalTransitionStyle(ModalTransitionStyle style) { transitionStyle_ = style; }

    // Shows `controller` over this one, its root view sized to the window (or to this
    // controller's view when there is no window). Its `viewDidAppear`, then `completion`, run on
    // the main run loop; a controller dismissed before then does not appear. Presenting while this
    // controller already presents one, or a controller that is already presented, only logs.
    void presentViewControllerAnimatedCompletion(const std::shared_ptr<ViewController>& controller,
                                                 bool animated, Completion completion = {});
    // Closes this controller when it is presented (what it presents goes with it), else closes
    // the controller it presents. `completion` always runs, once, on the main run loop, also
    // when there was nothing to close.
    void dismissViewControllerAnimatedCompletion(bool animated, Completion completion = {});

    std::shared_ptr<ViewController> presentedViewController() const;
    std::shared_ptr<ViewController> presentingViewController() const;
    // The window showing this controller (directly or through its presenters), if any.
    std::shared_ptr<Window> window() const;

    // Lifecycle; overrides call the base first.
    virtual void viewDidLoad() {}
    virtual void viewDidLayoutSubviews() {}
    virtual void viewDidAppear(bool animated) { (void)animated; }
    virtual void didReceiveMemoryWarning() {}

  protected:
    // Connects the outlet of that name to the object the layout resource names for it. The
    // object must be a T (a view class or LayoutConstraint), or the load fails.
    template <class T>
    VARENSTT_LOCAL void registerOutlet(const std::string& name,
                                       std::function<void(const std::shared_ptr<T>&)> setter);
    // Connects the tap action of that name.
    void registerAction(const std::string& name, TapGestureRecognizer::Action action);

  private:
    friend class Window;

    struct OutletBinding {
        std::string expectedKind;
        // Checks the object's kind; connects it only when `apply` is set.
        std::function<bool(const LayoutObject&, bool apply)> connect;
    };

    void loadView();
    void appear(bool animated);
    void setWindow(const std::weak_ptr<Window>& window);

    std::string nibName_;
    ModalPresentationStyle presentationStyle_ = ModalPresentationStyle::fullScreen;
    ModalTransitionStyle transitionStyle_ = ModalTransitionStyle::coverVertical;
    std::map<std::string, OutletBinding> outlets_;
    std::map<std::string, TapGestureRecognizer::Action> actions_;

    // Two locks, never held together: one for loading the view (it takes the toolkit's lock
    // inside), one for the presentation links (views take it inside the toolkit's lock).
    mutable std::recursive_mutex loadMutex_;
    std::shared_ptr<View> view_;
    std::optional<Error> layoutError_;
    mutable std::mutex linkMutex_;
    std::shared_ptr<ViewController> presented_;
    std::weak_ptr<ViewController> presenting_;
    std::weak_ptr<Window> window_;  // set on a window's root controller only
};

namespace detail {
template <class T>
const char* layoutKindName() {
    if constexpr (std::is_same_v<T, LayoutConstraint>) {
        return "layout constraint";
    } else if constexpr (std::is_base_of_v<ImageView, T>) {
        return "image view";
    } else if constexpr (std::is_base_of_v<Label, T>) {
        return "label";
    } else {
        static_assert(std::is_base_of_v<View, T>, "outlets hold views or layout constraints");
        return "view";
    }
}
}  // namespace detail

template <class T>
void ViewController::registerOutlet(const std::string& name,
                                    std::function<void(const std::shared_ptr<T>&)> setter) {
    OutletBinding binding;
    binding.expectedKind = detail::layoutKindName<T>();
    binding.connect = [setter = std::move(setter)](const LayoutObject& object, bool apply) {
        if constexpr (std::is_same_v<T, LayoutConstraint>) {
            auto constraint = std::get_if<std::shared_ptr<LayoutConstraint>>(&object);
            if (!constraint) return false;
            if (apply) setter(*constraint);
        } else {
            auto view = std::get_if<std::shared_ptr<View>>(&object);
            if (!view) return false;
            auto typed = std::dynamic_pointer_cast<T>(*view);
            if (!typed) return false;
            if (apply) setter(typed);
        }
        return true;
    };
    outlets_[name] = std::move(binding);
}

}  // namespace varen::platform
