#include "varenstt/Platform/UIViewController.h"

#include <utility>

#include "Platform/UI/LayoutResource.h"
#include "Platform/UI/UILock.h"
#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/Log.h"
#include "varenstt/Platform/UIWindow.h"

namespace varen::platform {

std::shared_ptr<ViewController> ViewController::create() {
    return std::make_shared<ViewController>();
}

std::shared_ptr<ViewController> ViewController::initWithNibName(std::string nibName) {
    return std::make_shared<ViewController>(std::move(nibName));
}

ViewController::ViewController(std::string nibName) : nibName_(std::move(nibName)) {}

ViewController::~ViewController() = default;

std::shared_ptr<View> ViewController::view() {
    loadViewIfNeeded();
    std::lock_guard guard(loadMutex_);
    return view_;
}

bool ViewController::isViewLoaded() const {
    std::lock_guard guard(loadMutex_);
    return view_ != nullptr;
}

std::optional<Error> ViewController::layoutError() const {
    std::lock_guard guard(loadMutex_);
    return layoutError_;
}

void ViewController::loadViewIfNeeded() {
    {
        std::lock_guard guard(loadMutex_);
        if (view_) return;
        loadView();
    }
    viewDidLoad();
}

void ViewController::registerAction(const std::string& name, TapGestureRecognizer::Action action) {
    actions_[name] = std::move(action);
}

namespace {

// Why the resource's outlets and actions cannot all be connected to this controller's bindings,
// or nothing when they can. Nothing is connected here.
template <class OutletBindings, class Actions>
std::optional<std::string> bindingProblem(const ui::LayoutContents& contents,
                                          const OutletBindings& outlets, const Actions& actions) {
    for (const auto& [outlet, id] : contents.outlets) {
        auto binding = outlets.find(outlet);
        if (binding == outlets.end()) {
            return "outlets." + outlet + ": the controller has no such outlet";
        }
        if (!binding->second.connect(contents.objects.at(id), false)) {
            return "outlets." + outlet + ": expected a " + binding->second.expectedKind;
        }
    }
    for (const auto& recognizer : contents.recognizers) {
        if (!actions.count(recognizer->actionName())) {
            return "the controller has no action \"" + recognizer->actionName() + "\"";
        }
    }
    return std::nullopt;
}

template <class OutletBindings>
void connectOutlets(const ui::LayoutContents& contents, OutletBindings& outlets) {
    for (const auto& [outlet, id] : contents.outlets) {
        outlets.at(outlet).connect(contents.objects.at(id), true);
    }
}

// Points each recognizer at `perform` with its action name. The recognizers live in the
// controller's view tree; the weak target keeps the tree from owning its controller.
template <class Perform>
void connectActions(const ui::LayoutContents& contents,
                    const std::weak_ptr<ViewController>& weakController, Perform perform) {
    for (const auto& recognizer : contents.recognizers) {
        recognizer->setAction([weakController, perform,
                               name = recognizer->actionName()](TapGestureRecognizer& sender) {
            if (auto controller = weakController.lock()) perform(*controller, name, sender);
        });
    }
}

}  // namespace

void ViewController::loadView() {
    if (nibName_.empty()) {
        view_ = View::create(Window::defaultBounds);
    } else {
        ui::LayoutLoad load = ui::loadLayoutResource(nibName_);
        // Every outlet and action must fit before anything is connected, so a bad resource
        // leaves the controller with no half-connected outlets.
        if (load.contents) {
            if (auto problem = bindingProblem(*load.contents, outlets_, actions_)) {
                load.error = Error::withDescription(
                    LayoutResourceErrorDomain, LayoutResourceInvalid,
                    "The layout resource \"" + nibName_ + "\" is invalid: " + *problem + ".");
                load.contents.reset();
            }
        }
        if (load.contents) {
            view_ = load.contents->root;
            connectOutlets(*load.contents, outlets_);
            connectActions(*load.contents, weak_from_this(),
                           [](ViewController& controller, const std::string& name,
                              TapGestureRecognizer& sender) {
                               auto action = controller.actions_.find(name);
                               if (action != controller.actions_.end()) action->second(sender);
                           });
        } else {
            layoutError_ = load.error;
            log(LogLevel::warning, "Could not load the layout resource \"" + nibName_ +
                                       "\": " + load.error->localizedDescription());
            view_ = View::create(Window::defaultBounds);
        }
    }
    ui::ToolkitGuard guard(ui::toolkitLock());
    view_->controller_ = weak_from_this();
}

std::shared_ptr<ViewController> ViewController::presentedViewController() const {
    std::lock_guard guard(linkMutex_);
    return presented_;
}

std::shared_ptr<ViewController> ViewController::presentingViewController() const {
    std::lock_guard guard(linkMutex_);
    return presenting_.lock();
}

std::shared_ptr<Window> ViewController::window() const {
    std::shared_ptr<const ViewController> controller = shared_from_this();
    while (controller) {
        std::shared_ptr<ViewController> next;
        {
            std::lock_guard guard(controller->linkMutex_);
            if (auto window = controller->window_.lock()) return window;
            next = controller->presenting_.lock();
        }
        controller = next;
    }
    return nullptr;
}

void ViewController::setWindow(const std::weak_ptr<Window>& window) {
    std::lock_guard guard(linkMutex_);
    window_ = window;
}

void ViewController::appear(bool animated) {
    // Shown later on the main loop, like a transition that ends after the call returns.
    std::weak_ptr<ViewController> weakSelf = weak_from_this();
    DispatchQueue::main()->async([weakSelf, animated] {
        auto self = weakSelf.lock();
        if (!self) return;
        // Closed before its transition ended: it never came on screen.
        bool shown;
        {
            std::lock_guard guard(self->linkMutex_);
            shown = self->presenting_.lock() || self->window_.lock();
        }
        if (shown) self->viewDidAppear(animated);
    });
}

void ViewController::presentViewControllerAnimatedCompletion(
    const std::shared_ptr<ViewController>& controller, bool animated, Completion completion) {
    if (!controller || controller.get() == this) return;
    {
        std::scoped_lock guard(linkMutex_, controller->linkMutex_);
        if (presented_) {
            log(LogLevel::warning,
                "Cannot present a view controller from one that already presents another.");
            return;
        }
        if (controller->presenting_.lock() || controller->window_.lock()) {
            log(LogLevel::warning, "Cannot present a view controller that is already shown.");
            return;
        }
        presented_ = controller;
        controller->presenting_ = weak_from_this();
    }
    auto window = this->window();
    const Rect frame = window ? window->bounds() : view()->frame();
    controller->view()->setFrame(frame);
    controller->view()->layoutIfNeeded();
    if (window) window->setNeedsDisplay();
    controller->appear(animated);
    if (completion) DispatchQueue::main()->async(std::move(completion));
}

void ViewController::dismissViewControllerAnimatedCompletion(bool animated, Completion completion) {
    (void)animated;  // the closing transition has no length on these renderers
    std::shared_ptr<ViewController> presenter;
    std::shared_ptr<ViewController> closing;
    {
        std::lock_guard guard(linkMutex_);
        presenter = presenting_.lock();
        if (presenter) {
            closing = shared_from_this();
        } else if (presented_) {
            presenter = shared_from_this();
            closing = presented_;
        }
    }
    if (closing) {
        auto window = presenter->window();
        {
            std::scoped_lock guard(presenter->linkMutex_, closing->linkMutex_);
            presenter->presented_.reset();
            closing->presenting_.reset();
        }
        // A full-screen presentation hid the presenter; it comes back on screen.
        if (closing->modalPresentationStyle() == ModalPresentationStyle::fullScreen) {
            presenter->appear(animated);
        }
        if (window) window->setNeedsDisplay();
    }
    // Runs even when nothing was closed, so whoever waits for the end of a screen hears of it.
    if (completion) DispatchQueue::main()->async(std::move(completion));
}

}  // namespace varen::platform
