#include "varenstt/VarenSTTManager.h"

#include "Managers/SpeechToTextModule.h"
#include "Public/FailureMessage.h"
#include "Public/VarenSTTManagerBridge.h"
#include "varenstt/Platform/Log.h"
#include "varenstt/VarenSTTViewController.h"

namespace varen {

void VarenSTTManager::startRecognize() {
    usingVarenViewController_ = false;
    varenViewController_.reset();
    if (module_) {
        platform::log(LogLevel::warning, "A speech to text recognizer session is already started.");
        return;
    }
    initModule();
}

void VarenSTTManager::initModule() {
    module_ = SpeechToTextModule::initWithDelegate(bridgeAs<SpeechToTextModuleDelegate>());
    module_->setAudioDelegate(bridgeAs<SpeechToTextModuleAudioDelegate>());
}

void VarenSTTManager::stopRecognize() {
    if (usingVarenViewController_) {
        varenViewController_->stopAndDismiss();
        return;
    }
    if (module_) {
        stopDirectRun();
        return;
    }
    platform::log(
        LogLevel::warning,
        "The speech to text recognizer session is not yet started, or is already stopped.");
}

void VarenSTTManager::stopDirectRun() {
    // Dropped before stopping: stopping may report back into this manager.
    auto module = std::move(module_);
    module->stopRecording();
}

bool VarenSTTManager::isRecognizing() const {
    return usingVarenViewController_ || module_ != nullptr;
}

std::shared_ptr<platform::ViewController> VarenSTTManager::varenSTTViewController() {
    usingVarenViewController_ = true;
    varenViewController_ = VarenSTTViewController::initWithPromptMessage(prompt_);
    varenViewController_->setSpeechDelegate(bridgeAs<SpeechToTextModuleDelegate>());
    varenViewController_->setDelegate(bridgeAs<VarenSTTViewControllerDelegate>());
    return varenViewController_;
}

void VarenSTTManager::dismissScreenThen(
    std::function<void(VarenSTTManagerDelegate&, VarenSTTManager&)> tell) {
    if (!tell) {
        varenViewController_->dismissViewControllerAnimatedCompletion(true);
        return;
    }
    // The completion keeps the manager alive and finds the delegate current when it runs.
    auto self = weak_from_this().lock();
    if (!self) {
        // A manager no shared pointer owns cannot be kept alive until the completion runs:
        // the host hears at once, then the screen goes.
        if (auto d = delegate()) tell(*d, *this);
        varenViewController_->dismissViewControllerAnimatedCompletion(true);
        return;
    }
    std::weak_ptr<VarenSTTManager> weakSelf = self;
    varenViewController_->dismissViewControllerAnimatedCompletion(true, [self, weakSelf, tell] {
        auto manager = weakSelf.lock();
        if (!manager) return;
        if (auto d = manager->delegate()) tell(*d, *manager);
    });
}

void VarenSTTManager::rememberRecording(const SpeechToTextModule& module) {
    if (auto encapsulator = module.encapsulator()) recordingPath_ = encapsulator->mFileName();
}

void VarenSTTManager::speechRecognizerDidRecognizeAudioWithText(
    SpeechToTextModule& module, const std::vector<VarenSTTHypothesis>& hypotheses) {
    rememberRecording(module);
    for (const auto& hypothesis : hypotheses) {
        platform::log(LogLevel::debug,
                      "h.textRecognized: " + hypothesis.transcript().value_or("(null)"));
    }
    if (module_) stopDirectRun();
    auto tell = [hypotheses](VarenSTTManagerDelegate& d, VarenSTTManager& m) {
        d.varenSTTManagerDidRecognizeAudioWith(m, hypotheses);
    };
    if (usingVarenViewController_) {
        dismissScreenThen(delegate() ? std::function(tell) : nullptr);
    } else if (auto d = delegate()) {
        tell(*d, *this);
    }
}

void VarenSTTManager::speechRecognizerDidFailWithError(SpeechToTextModule& module,
                                                       const Error& error) {
    rememberRecording(module);
    if (module_) stopDirectRun();
    const std::string message = failureMessage(error);
    auto tell = [message](VarenSTTManagerDelegate& d, VarenSTTManager& m) {
        d.varenSTTManagerDidFailRecognizeAudioWithError(m, message);
    };
    if (usingVarenViewController_) {
        dismissScreenThen(delegate() ? std::function(tell) : nullptr);
    } else if (auto d = delegate()) {
        tell(*d, *this);
    }
}

void VarenSTTManager::partialTextRecognized(const std::string& text) {
    didRecognizePartialText(text);
}

void VarenSTTManager::didRecognizePartialText(const std::string& text) {
    if (auto d = delegate()) d->varenSTTManagerDidRecognizePartialAudioWith(*this, text);
}

void VarenSTTManager::connectionResumed(std::int64_t attempt) {
    if (auto d = delegate()) d->varenSTTManagerDidResume(*this, attempt);
}

void VarenSTTManager::volumeChangedWithDecibels(float decibels) {
    didChangeVolumeWithDecibels(decibels);
}

void VarenSTTManager::didChangeVolumeWithDecibels(float decibels) {
    if (auto d = delegate()) d->varenSTTManagerDidChangeVolumeWithDecibels(*this, decibels);
}

}  // namespace varen
