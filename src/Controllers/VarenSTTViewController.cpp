#include "varenstt/VarenSTTViewController.h"

#include <utility>

#include "Controllers/AudioBall.h"
#include "Managers/SpeechToTextModule.h"
#include "varenstt/Platform/DispatchQueue.h"

namespace varen {

using platform::Color;

namespace {
constexpr const char* layoutName = "VarenSTTViewController";
}

std::shared_ptr<VarenSTTViewController> VarenSTTViewController::initWithDefaultStyle() {
    auto screen = std::make_shared<VarenSTTViewController>();
    screen->setModalPresentationStyle(platform::ModalPresentationStyle::overFullScreen);
    screen->setModalTransitionStyle(platform::ModalTransitionStyle::crossDissolve);
    return screen;
}

std::shared_ptr<VarenSTTViewController> VarenSTTViewController::create() {
    return initWithDefaultStyle();
}

std::shared_ptr<VarenSTTViewController> VarenSTTViewController::initWithPromptMessage(
    const std::string& message) {
    auto screen = initWithDefaultStyle();
    screen->setInitialMessage(message);
    return screen;
}

VarenSTTViewController::VarenSTTViewController() : ViewController(layoutName) {
    // The resource connects these while loading, inside view(); the controller is alive then.
    registerOutlet<platform::View>("alertView", [this](auto& v) { setAlertView(v); });
    registerOutlet<platform::Label>("promptLabel", [this](auto& v) { setPromptLabel(v); });
    registerOutlet<platform::View>("audioBall", [this](auto& v) { setAudioBall(v); });
    registerOutlet<platform::View>("micBall", [this](auto& v) { setMicBall(v); });
    registerOutlet<platform::Label>("outputLabel", [this](auto& v) { setOutputLabel(v); });
    registerOutlet<platform::ImageView>("varenImageView",
                                        [this](auto& v) { setVarenImageView(v); });
    registerOutlet<platform::LayoutConstraint>(
        "audioBallHeightConstraint", [this](auto& c) { setAudioBallHeightConstraint(c); });
    registerOutlet<platform::LayoutConstraint>("audioBallWidthConstraint",
                                               [this](auto& c) { setAudioBallWidthConstraint(c); });
    registerAction("tapGestureRecognized",
                   [this](platform::TapGestureRecognizer& r) { tapGestureRecognized(r); });
}

VarenSTTViewController::~VarenSTTViewController() = default;

// ---- Properties

#define VARENSTT_REFERENCE(Type, getter, setter, member) \
    Type VarenSTTViewController::getter() const {        \
        std::lock_guard guard(mutex_);                   \
        return member;                                   \
    }                                                    \
    void VarenSTTViewController::setter(Type value) {    \
        std::lock_guard guard(mutex_);                   \
        member = std::move(value);                       \
    }

VARENSTT_REFERENCE(std::weak_ptr<SpeechToTextModuleDelegate>, speechDelegate, setSpeechDelegate,
                   speechDelegate_)
VARENSTT_REFERENCE(std::weak_ptr<VarenSTTViewControllerDelegate>, delegate, setDelegate, delegate_)
VARENSTT_REFERENCE(std::shared_ptr<SpeechToTextModule>, module, setModule, module_)
VARENSTT_REFERENCE(std::string, initialMessage, setInitialMessage, initialMessage_)
#undef VARENSTT_REFERENCE

#define VARENSTT_OUTLET(Type, getter, setter, member)                         \
    std::shared_ptr<Type> VarenSTTViewController::getter() const {            \
        std::lock_guard guard(mutex_);                                        \
        return member.lock();                                                 \
    }                                                                         \
    void VarenSTTViewController::setter(const std::shared_ptr<Type>& value) { \
        std::lock_guard guard(mutex_);                                        \
        member = value;                                                       \
    }

VARENSTT_OUTLET(platform::View, alertView, setAlertView, alertView_)
VARENSTT_OUTLET(platform::Label, promptLabel, setPromptLabel, promptLabel_)
VARENSTT_OUTLET(platform::View, audioBall, setAudioBall, audioBall_)
VARENSTT_OUTLET(platform::View, micBall, setMicBall, micBall_)
VARENSTT_OUTLET(platform::Label, outputLabel, setOutputLabel, outputLabel_)
VARENSTT_OUTLET(platform::ImageView, varenImageView, setVarenImageView, varenImageView_)
VARENSTT_OUTLET(platform::LayoutConstraint, audioBallHeightConstraint, setAudioBallHeightConstraint,
                audioBallHeightConstraint_)
VARENSTT_OUTLET(platform::LayoutConstraint, audioBallWidthConstraint, setAudioBallWidthConstraint,
                audioBallWidthConstraint_)
#undef VARENSTT_OUTLET

// ---- Lifecycle

void VarenSTTViewController::viewDidLoad() {
    ViewController::viewDidLoad();
    if (auto label = promptLabel()) label->setText(initialMessage());
}

void VarenSTTViewController::viewDidLayoutSubviews() {
    ViewController::viewDidLayoutSubviews();
    if (auto ball = micBall()) ball->layer().setCornerRadius(ball->frame().width / 2.0);
    if (auto ball = audioBall()) ball->layer().setCornerRadius(ball->frame().width / 2.0);
    if (auto panel = alertView()) {
        platform::Layer& layer = panel->layer();
        layer.setShadowColor(Color::colorWithRedGreenBlueAlpha(0.1, 0.1, 0.1, 1.0));
        layer.setShadowOpacity(0.5f);
        layer.setShadowRadius(2.0);
        layer.setShadowOffset(platform::Size{2.0, 2.0});
        layer.setCornerRadius(5.0);
    }
}

void VarenSTTViewController::viewDidAppear(bool animated) {
    ViewController::viewDidAppear(animated);
    // A new module every time: one left from an earlier appearance keeps running on its own.
    auto newModule = SpeechToTextModule::initWithDelegate(speechDelegate());
    setModule(newModule);
    newModule->setAudioDelegate(
        std::static_pointer_cast<VarenSTTViewController>(shared_from_this()));
}

void VarenSTTViewController::didReceiveMemoryWarning() {
    ViewController::didReceiveMemoryWarning();
}

// ---- Actions

void VarenSTTViewController::stopAndDismiss() {
    if (auto current = module()) current->stopRecording();
    dismissViewControllerAnimatedCompletion(true);
}

void VarenSTTViewController::tapGestureRecognized(platform::TapGestureRecognizer& recognizer) {
    (void)recognizer;
    stopAndDismiss();
}

// ---- Capture module callbacks

void VarenSTTViewController::volumeChangedWithDecibels(float decibels) {
    const float level = audioBallLevelForDecibels(decibels);
    const float size = audioBallSizeForLevel(level);
    if (auto constraint = audioBallHeightConstraint()) constraint->setConstant(size);
    if (auto constraint = audioBallWidthConstraint()) constraint->setConstant(size);
    if (auto ball = audioBall()) ball->layer().setCornerRadius(size * 0.5);
    auto root = view();
    platform::View::animate(0.01, [&root] { root->layoutIfNeeded(); });
    if (auto listener = delegate().lock()) listener->didChangeVolumeWithDecibels(level);
}

void VarenSTTViewController::partialTextRecognized(const std::string& text) {
    std::weak_ptr<ViewController> weakSelf = weak_from_this();
    platform::DispatchQueue::main()->async([weakSelf, text] {
        auto self = std::static_pointer_cast<VarenSTTViewController>(weakSelf.lock());
        if (!self) return;
        if (auto brand = self->varenImageView()) brand->setHidden(true);
        if (auto label = self->outputLabel()) label->setText(text);
    });
    if (auto listener = delegate().lock()) listener->didRecognizePartialText(text);
}

void VarenSTTViewController::connectionResumed(std::int64_t attempt) {
    if (auto listener = delegate().lock()) listener->connectionResumed(attempt);
}

}  // namespace varen
