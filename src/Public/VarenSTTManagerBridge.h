#pragma once

#include <string>
#include <vector>

#include "Managers/RecognitionSettings.h"
#include "varenstt/SpeechToTextModuleDelegate.h"
#include "varenstt/VarenSTTManager.h"
#include "varenstt/VarenSTTViewController.h"

namespace varen {

// The manager's side of the capture module's and the screen's delegate protocols, and its
// settings as the stream client reads them: it forwards every call to the manager that owns it,
// on the thread the call arrives on.
class VARENSTT_LOCAL VarenSTTManager::DelegateBridge final : public SpeechToTextModuleDelegate,
                                                             public SpeechToTextModuleAudioDelegate,
                                                             public VarenSTTViewControllerDelegate,
                                                             public RecognitionSettings {
  public:
    explicit DelegateBridge(VarenSTTManager& manager) : manager_(manager) {}

    // The shared manager's settings, sharing the manager's ownership.
    static std::shared_ptr<const RecognitionSettings> sharedManagerSettings() {
        auto manager = VarenSTTManager::shared();
        return std::shared_ptr<const RecognitionSettings>(manager, manager->bridge_.get());
    }

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
    void connectionResumed(std::int64_t attempt) override { manager_.connectionResumed(attempt); }

    std::optional<URL> serviceURL() const override { return manager_.serviceURL(); }
    std::int64_t maxResults() const override { return manager_.maxResults(); }
    float minSilence() const override { return manager_.minSilence(); }
    double finalResultTimeout() const override { return manager_.finalResultTimeout(); }
    std::int64_t resumeAttempts() const override { return manager_.resumeAttempts(); }
    double pingInterval() const override { return manager_.pingInterval(); }
    std::string proxyUrl() const override { return manager_.proxyUrl(); }

    // Makes the stream client read the shared manager's settings from the moment the library is
    // loaded; the stream client sits below the manager and cannot name it.
    static const bool sharedSettingsInstalled;

  private:
    VarenSTTManager& manager_;
};

template <class Protocol>
std::weak_ptr<Protocol> VarenSTTManager::bridgeAs() {
    return std::shared_ptr<Protocol>(weak_from_this().lock(), bridge_.get());
}

}  // namespace varen
