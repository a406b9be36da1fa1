#include "varenstt/Platform/UIWindow.h"

#include <algorithm>
#include <functional>

#include "Platform/UI/UILock.h"
#include "varenstt/Platform/DispatchQueue.h"

namespace varen::platform {

const ViewRecord* Snapshot::find(std::string_view identifier) const {
    for (const auto& record : views) {
        if (record.identifier == identifier) return &record;
    }
    return nullptr;
}

std::shared_ptr<Window> Window::create(Rect bounds) {
    auto window = std::make_shared<Window>(bounds);
    window->setRootViewController(ViewController::create());
    return window;
}

Window::Window(Rect bounds) : bounds_(bounds) {}

Window::~Window() = default;

std::shared_ptr<ViewController> Window::rootViewController() const {
    return root_;
}

void Window::setRootViewController(const std::shared_ptr<ViewController>& controller) {
    if (root_) root_->setWindow({});
    root_ = controller;
    if (!root_) return;
    root_->setWindow(weak_from_this());
    root_->view()->setFrame(bounds_);
    root_->view()->layoutIfNeeded();
    root_->appear(false);
    setNeedsDisplay();
}

std::shared_ptr<ViewController> Window::topViewController() const {
    auto controller = root_;
    while (controller) {
        auto next = controller->presentedViewController();
        if (!next) break;
        controller = next;
    }
    return controller;
}

void Window::addRenderer(const std::shared_ptr<Renderer>& renderer) {
    if (!renderer) return;
    {
        std::lock_guard guard(renderersMutex_);
        renderers_.push_back(renderer);
    }
    renderer->didAttachToWindow(weak_from_this());
    setNeedsDisplay();
}

namespace {

void record(const View& view, Rect origin, int depth, std::vector<ViewRecord>& out) {
    // Runs under the toolkit lock: reads the views' fields through their accessors, which
    // take the same recursive lock.
    if (view.isHidden()) return;
    const Rect frame = view.frame();
    ViewRecord entry;
    entry.identifier = view.identifier();
    entry.frame = Rect{origin.x + frame.x, origin.y + frame.y, frame.width, frame.height};
    entry.depth = depth;
    entry.backgroundColor = view.backgroundColor();
    entry.cornerRadius = view.layer().cornerRadius();
    entry.shadowColor = view.layer().shadowColor();
    entry.shadowOpacity = view.layer().shadowOpacity();
    entry.shadowOffset = view.layer().shadowOffset();
    if (auto label = dynamic_cast<const Label*>(&view)) {
        entry.kind = ViewRecord::Kind::label;
        entry.text = label->text();
        entry.textColor = label->textColor();
        entry.textAlignment = label->textAlignment();
    } else if (auto imageView = dynamic_cast<const ImageView*>(&view)) {
        entry.kind = ViewRecord::Kind::imageView;
        if (auto image = imageView->image()) {
            entry.imageName = image->name;
            entry.text = image->text;
        }
        entry.textColor = imageView->tintColor();
        entry.textAlignment = TextAlignment::center;
    }
    const Rect childOrigin{entry.frame.x, entry.frame.y, 0, 0};
    out.push_back(std::move(entry));
    for (const auto& child : view.subviews()) record(*child, childOrigin, depth + 1, out);
}

}  // namespace

Snapshot Window::snapshot() const {
    std::vector<std::shared_ptr<ViewController>> chain;
    for (auto controller = root_; controller; controller = controller->presentedViewController()) {
        chain.push_back(controller);
    }
    // A full-screen presentation covers everything beneath it.
    std::size_t first = 0;
    for (std::size_t i = 1; i < chain.size(); ++i) {
        if (chain[i]->modalPresentationStyle() == ModalPresentationStyle::fullScreen) first = i;
    }
    Snapshot snapshot;
    snapshot.bounds = bounds_;
    std::vector<std::shared_ptr<View>> roots;
    for (std::size_t i = first; i < chain.size(); ++i) roots.push_back(chain[i]->view());
    // Layout first, as a display pass would, so frames follow their constraints.
    for (const auto& root : roots) root->layoutIfNeeded();
    ui::ToolkitGuard guard(ui::toolkitLock());
    for (const auto& root : roots) record(*root, Rect{}, 0, snapshot.views);
    return snapshot;
}

void Window::setNeedsDisplay() {
    if (displayScheduled_.exchange(true)) return;
    std::weak_ptr<Window> weakSelf = weak_from_this();
    DispatchQueue::main()->async([weakSelf] {
        if (auto self = weakSelf.lock()) self->display();
    });
}

void Window::display() {
    displayScheduled_ = false;
    std::vector<std::shared_ptr<Renderer>> renderers;
    {
        std::lock_guard guard(renderersMutex_);
        renderers = renderers_;
    }
    if (renderers.empty()) return;
    const Snapshot picture = snapshot();
    for (const auto& renderer : renderers) renderer->render(picture);
}

bool Window::tap() {
    auto top = topViewController();
    if (!top) return false;
    // Loaded before taking the toolkit's lock: loading takes the controller's lock first.
    const auto root = top->view();
    std::shared_ptr<TapGestureRecognizer> target;
    {
        ui::ToolkitGuard guard(ui::toolkitLock());
        // Front-most first: later subviews are drawn over earlier ones.
        std::function<void(const std::shared_ptr<View>&)> visit =
            [&](const std::shared_ptr<View>& view) {
                if (target || view->isHidden()) return;
                auto children = view->subviews();
                for (auto it = children.rbegin(); it != children.rend() && !target; ++it) {
                    visit(*it);
                }
                if (!target) {
                    auto recognizers = view->gestureRecognizers();
                    if (!recognizers.empty()) target = recognizers.front();
                }
            };
        visit(root);
    }
    if (!target) return false;
    target->tap();
    return true;
}

void Window::didReceiveMemoryWarning() {
    for (auto controller = root_; controller; controller = controller->presentedViewController()) {
        controller->didReceiveMemoryWarning();
    }
}

}  // namespace varen::platform
