#include "varenstt/Platform/UIView.h"

#include <atomic>
#include <utility>

#include "Platform/UI/UILock.h"
#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/UIViewController.h"
#include "varenstt/Platform/UIWindow.h"

namespace varen::platform {

namespace ui {
std::recursive_mutex& toolkitLock() {
    static std::recursive_mutex lock;
    return lock;
}
}  // namespace ui

using ui::ToolkitGuard;
using ui::toolkitLock;

namespace {
std::atomic<double> lastAnimationDuration_{0.0};
}

// ---- Layer

double Layer::cornerRadius() const {
    ToolkitGuard guard(toolkitLock());
    return cornerRadius_;
}

void Layer::setCornerRadius(double radius) {
    ToolkitGuard guard(toolkitLock());
    if (cornerRadius_ == radius) return;
    cornerRadius_ = radius;
    view_.noteChange();
}

std::optional<Color> Layer::shadowColor() const {
    ToolkitGuard guard(toolkitLock());
    return shadowColor_;
}

void Layer::setShadowColor(std::optional<Color> color) {
    ToolkitGuard guard(toolkitLock());
    if (shadowColor_ == color) return;
    shadowColor_ = color;
    view_.noteChange();
}

float Layer::shadowOpacity() const {
    ToolkitGuard guard(toolkitLock());
    return shadowOpacity_;
}

void Layer::setShadowOpacity(float opacity) {
    ToolkitGuard guard(toolkitLock());
    if (shadowOpacity_ == opacity) return;
    shadowOpacity_ = opacity;
    view_.noteChange();
}

double Layer::shadowRadius() const {
    ToolkitGuard guard(toolkitLock());
    return shadowRadius_;
}

void Layer::setShadowRadius(double radius) {
    ToolkitGuard guard(toolkitLock());
    if (shadowRadius_ == radius) return;
    shadowRadius_ = radius;
    view_.noteChange();
}

Size Layer::shadowOffset() const {
    ToolkitGuard guard(toolkitLock());
    return shadowOffset_;
}

void Layer::setShadowOffset(Size offset) {
    ToolkitGuard guard(toolkitLock());
    if (shadowOffset_ == offset) return;
    shadowOffset_ = offset;
    view_.noteChange();
}

// ---- View

std::shared_ptr<View> View::create(Rect frame) {
    return std::make_shared<View>(frame);
}

View::View(Rect frame) : frame_(frame), layer_(*this) {}

View::~View() = default;

std::string View::identifier() const {
    ToolkitGuard guard(toolkitLock());
    return identifier_;
}

void View::setIdentifier(std::string identifier) {
    ToolkitGuard guard(toolkitLock());
    identifier_ = std::move(identifier);
}

Rect View::frame() const {
    ToolkitGuard guard(toolkitLock());
    return frame_;
}

void View::setFrame(Rect frame) {
    ToolkitGuard guard(toolkitLock());
    if (frame_ == frame) return;
    frame_ = frame;
    needsLayout_ = true;
    noteChange();
}

bool View::isHidden() const {
    ToolkitGuard guard(toolkitLock());
    return hidden_;
}

void View::setHidden(bool hidden) {
    ToolkitGuard guard(toolkitLock());
    if (hidden_ == hidden) return;
    hidden_ = hidden;
    noteChange();
}

std::optional<Color> View::backgroundColor() const {
    ToolkitGuard guard(toolkitLock());
    return backgroundColor_;
}

void View::setBackgroundColor(std::optional<Color> color) {
    ToolkitGuard guard(toolkitLock());
    backgroundColor_ = color;
    noteChange();
}

void View::addSubview(const std::shared_ptr<View>& view) {
    if (!view || view.get() == this) return;
    ToolkitGuard guard(toolkitLock());
    view->removeFromSuperview();
    view->superview_ = weak_from_this();
    subviews_.push_back(view);
    needsLayout_ = true;
    noteChange();
}

void View::removeFromSuperview() {
    ToolkitGuard guard(toolkitLock());
    auto parent = superview_.lock();
    if (!parent) return;
    // Keeps this view alive while it leaves its only owner.
    auto self = shared_from_this();
    std::erase(parent->subviews_, self);
    superview_.reset();
    parent->noteChange();
}

std::vector<std::shared_ptr<View>> View::subviews() const {
    ToolkitGuard guard(toolkitLock());
    return subviews_;
}

std::shared_ptr<View> View::superview() const {
    ToolkitGuard guard(toolkitLock());
    return superview_.lock();
}

void View::addConstraint(const std::shared_ptr<LayoutConstraint>& constraint) {
    if (!constraint) return;
    ToolkitGuard guard(toolkitLock());
    constraints_.push_back(constraint);
    if (auto item = constraint->item()) item->setNeedsLayout();
}

std::vector<std::shared_ptr<LayoutConstraint>> View::constraints() const {
    ToolkitGuard guard(toolkitLock());
    return constraints_;
}

void View::addGestureRecognizer(const std::shared_ptr<TapGestureRecognizer>& recognizer) {
    if (!recognizer) return;
    ToolkitGuard guard(toolkitLock());
    recognizer->view_ = weak_from_this();
    recognizers_.push_back(recognizer);
}

std::vector<std::shared_ptr<TapGestureRecognizer>> View::gestureRecognizers() const {
    ToolkitGuard guard(toolkitLock());
    return recognizers_;
}

void View::setNeedsLayout() {
    ToolkitGuard guard(toolkitLock());
    needsLayout_ = true;
    noteChange();
}

bool View::subtreeNeedsLayout() const {
    if (needsLayout_) return true;
    for (const auto& child : subviews_) {
        if (child->subtreeNeedsLayout()) return true;
    }
    return false;
}

void View::layoutSubtree() {
    for (const auto& constraint : constraints_) {
        auto item = constraint->item();
        if (!item) continue;
        Rect frame = item->frame_;
        const double value = constraint->constant_;
        if (constraint->attribute() == LayoutAttribute::width) {
            frame.x += (frame.width - value) / 2.0;
            frame.width = value;
        } else {
            frame.y += (frame.height - value) / 2.0;
            frame.height = value;
        }
        if (!(item->frame_ == frame)) {
            item->frame_ = frame;
            item->noteChange();
        }
    }
    needsLayout_ = false;
    for (const auto& child : subviews_) child->layoutSubtree();
}

void View::layoutIfNeeded() {
    std::vector<std::shared_ptr<ViewController>> controllers;
    {
        ToolkitGuard guard(toolkitLock());
        if (!subtreeNeedsLayout()) return;
        // Constraints held by this view's ancestors may size views of this subtree; they were
        // applied by the ancestor's pass. Only this subtree is laid out here.
        layoutSubtree();
        // Controllers hear of the pass after the lock is released, so their code may take
        // other locks without ordering trouble.
        std::vector<View*> stack{this};
        while (!stack.empty()) {
            View* view = stack.back();
            stack.pop_back();
            if (auto controller = view->controller_.lock()) controllers.push_back(controller);
            for (const auto& child : view->subviews_) stack.push_back(child.get());
        }
    }
    for (const auto& controller : controllers) controller->viewDidLayoutSubviews();
}

void View::animate(double duration, const std::function<void()>& animations,
                   std::function<void(bool finished)> completion) {
    lastAnimationDuration_ = duration;
    if (animations) animations();
    if (completion) {
        DispatchQueue::main()->async([completion = std::move(completion)] { completion(true); });
    }
}

double View::lastAnimationDuration() {
    return lastAnimationDuration_;
}

void View::noteChange() {
    // Finds the window through the chain of superviews; views not on screen have none.
    const View* view = this;
    while (true) {
        auto parent = view->superview_.lock();
        if (!parent) break;
        view = parent.get();
    }
    std::shared_ptr<Window> window = view->window_.lock();
    if (!window) {
        if (auto controller = view->controller_.lock()) window = controller->window();
    }
    if (window) window->setNeedsDisplay();
}

// ---- Label

std::shared_ptr<Label> Label::create(Rect frame) {
    return std::make_shared<Label>(frame);
}

std::string Label::text() const {
    ToolkitGuard guard(toolkitLock());
    return text_;
}

void Label::setText(std::string text) {
    ToolkitGuard guard(toolkitLock());
    if (text_ == text) return;
    text_ = std::move(text);
    noteChange();
}

std::optional<Color> Label::textColor() const {
    ToolkitGuard guard(toolkitLock());
    return textColor_;
}

void Label::setTextColor(std::optional<Color> color) {
    ToolkitGuard guard(toolkitLock());
    textColor_ = color;
    noteChange();
}

TextAlignment Label::textAlignment() const {
    ToolkitGuard guard(toolkitLock());
    return alignment_;
}

void Label::setTextAlignment(TextAlignment alignment) {
    ToolkitGuard guard(toolkitLock());
    alignment_ = alignment;
    noteChange();
}

// ---- ImageView

std::shared_ptr<ImageView> ImageView::create(Rect frame) {
    return std::make_shared<ImageView>(frame);
}

std::optional<Image> ImageView::image() const {
    ToolkitGuard guard(toolkitLock());
    return image_;
}

void ImageView::setImage(std::optional<Image> image) {
    ToolkitGuard guard(toolkitLock());
    image_ = std::move(image);
    noteChange();
}

std::optional<Color> ImageView::tintColor() const {
    ToolkitGuard guard(toolkitLock());
    return tintColor_;
}

void ImageView::setTintColor(std::optional<Color> color) {
    ToolkitGuard guard(toolkitLock());
    tintColor_ = color;
    noteChange();
}

// ---- LayoutConstraint

std::shared_ptr<LayoutConstraint> LayoutConstraint::create(const std::shared_ptr<View>& item,
                                                           LayoutAttribute attribute,
                                                           double constant) {
    return std::make_shared<LayoutConstraint>(item, attribute, constant);
}

LayoutConstraint::LayoutConstraint(const std::shared_ptr<View>& item, LayoutAttribute attribute,
                                   double constant)
    : item_(item), attribute_(attribute), constant_(constant) {}

std::string LayoutConstraint::identifier() const {
    ToolkitGuard guard(toolkitLock());
    return identifier_;
}

void LayoutConstraint::setIdentifier(std::string identifier) {
    ToolkitGuard guard(toolkitLock());
    identifier_ = std::move(identifier);
}

std::shared_ptr<View> LayoutConstraint::item() const {
    ToolkitGuard guard(toolkitLock());
    return item_.lock();
}

double LayoutConstraint::constant() const {
    ToolkitGuard guard(toolkitLock());
    return constant_;
}

void LayoutConstraint::setConstant(double constant) {
    ToolkitGuard guard(toolkitLock());
    if (constant_ == constant) return;
    constant_ = constant;
    if (auto item = item_.lock()) item->setNeedsLayout();
}

// ---- TapGestureRecognizer

std::shared_ptr<TapGestureRecognizer> TapGestureRecognizer::create(std::string actionName,
                                                                   Action action) {
    return std::make_shared<TapGestureRecognizer>(std::move(actionName), std::move(action));
}

TapGestureRecognizer::TapGestureRecognizer(std::string actionName, Action action)
    : actionName_(std::move(actionName)), action_(std::move(action)) {}

void TapGestureRecognizer::setAction(Action action) {
    ToolkitGuard guard(toolkitLock());
    action_ = std::move(action);
}

std::shared_ptr<View> TapGestureRecognizer::view() const {
    ToolkitGuard guard(toolkitLock());
    return view_.lock();
}

void TapGestureRecognizer::tap() {
    Action action;
    {
        ToolkitGuard guard(toolkitLock());
        action = action_;
    }
    // Outside the lock: the action may stop capture and wait for other threads.
    if (action) action(*this);
}

}  // namespace varen::platform
