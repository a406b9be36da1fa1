#pragma once

#include <string>
#include <vector>

#include "varenstt/SpeechToTextModuleDelegate.h"
#include "varenstt/VarenSTTManager.h"
#include "varenstt/VarenSTTViewController.h"

namespace varen {

// The manager's side of the capture module's and the screen's delegate protocols: it forwards
// every call to the manager that owns it, on the thread the call arrives on.
class VARENSTT_LOCAL VarenSTTManager::DelegateBridge final : public SpeechToTextModuleDelegate,
                                                             public SpeechToTextModuleAudioDelegate,
                                                             public VarenSTTViewControllerDelegate {
  public:
    explicit DelegateBridge(VarenSTTManager& manager) : manager_(manager) {}

    void speechRecognizerDidRecognizeAudioWithText(
        SpeechToTextModule& module, const std::vector<VarenSTTHypothesis>& hypotheses) override {
        manager_.speechRecognizerDidRecognizeAudioWithText(module, hypotheses);
    }
    void speechRecognizerDidFailWithError(SpeechToTextModule& module, const Error& error) override {
        manager_.speechRecognizerDidFailWithError(module, error);
    }
    void volumeChangedWithDecibels(float decibels) override {
        manager_.volumeChangedWithDecibels(decibels);
    }
    void partialTextRecognized(const std::string& text) override {
        manager_.partialTextRecognized(text);
    }
    void didRecognizePartialText(const std::string& text) override {
        manager_.didRecognizePartialText(text);
    }
    void didChangeVolumeWithDecibels(float decibels) override {
        manager_.didChangeVolumeWithDecibels(decibels);
    }

  private:
    VarenSTTManager& manager_;
};

template <class Protocol>
std::weak_ptr<Protocol> VarenSTTManager::bridgeAs() {
    return std::shared_ptr<Protocol>(weak_from_this().lock(), bridge_.get());
}

}  // namespace varen
