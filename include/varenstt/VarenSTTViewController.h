#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "varenstt/Export.h"
#include "varenstt/Platform/UIView.h"
#include "varenstt/Platform/UIViewController.h"
#include "varenstt/SpeechToTextModuleDelegate.h"

namespace varen {

class SpeechToTextModule;

// Hears what the recognition screen shows: partial transcripts and the input level.
class VARENSTT_API VarenSTTViewControllerDelegate {
  public:
    virtual ~VarenSTTViewControllerDelegate() = default;
    virtual void didRecognizePartialText(const std::string& text) = 0;
    // The level after the screen's clamping: readings of 0 dB and above (and NaN) become -1.
    virtual void didChangeVolumeWithDecibels(float decibels) = 0;
    // The screen's run goes on over a new connection.
    virtual void connectionResumed(std::int64_t attempt) { (void)attempt; }
};

// The library's modal recognition screen: a prompt, a level ball that grows with the input
// level and the partial transcript. Once on screen it runs a recognition of its own; a tap
// stops it and closes the screen. Final results and failures go to `speechDelegate` (through
// the capture module), partial text and levels to `delegate`.
//
// Thread safety: levels and partial texts may arrive on any thread. Level changes are applied
// on the calling thread; partial text reaches the views on the main run loop and the delegate
// on the calling thread. The other members belong to the main thread.
class VARENSTT_API VarenSTTViewController : public platform::ViewController,
                                            public SpeechToTextModuleAudioDelegate {
  public:
    // Loads the "VarenSTTViewController" layout, shown over the full screen with a cross-dissolve.
    static std::shared_ptr<VarenSTTViewController> initWithDefaultStyle();
    static std::shared_ptr<VarenSTTViewController> create();
    static std::shared_ptr<VarenSTTViewController> initWithPromptMessage(
        const std::string& message);

    VarenSTTViewController();
    ~VarenSTTViewController() override;

    std::weak_ptr<SpeechToTextModuleDelegate> speechDelegate() const;
    void setSpeechDelegate(std::weak_ptr<SpeechToTextModuleDelegate> speechDelegate);
    std::weak_ptr<VarenSTTViewControllerDelegate> delegate() const;
    void setDelegate(std::weak_ptr<VarenSTTViewControllerDelegate> delegate);
    // The capture module created when the screen last appeared; kept after dismissal.
    std::shared_ptr<SpeechToTextModule> module() const;
    void setModule(std::shared_ptr<SpeechToTextModule> module);
    std::string initialMessage() const;
    void setInitialMessage(std::string initialMessage);

    // Outlets, connected by the layout resource.
    std::shared_ptr<platform::View> alertView() const;
    void setAlertView(const std::shared_ptr<platform::View>& view);
    std::shared_ptr<platform::Label> promptLabel() const;
    void setPromptLabel(const std::shared_ptr<platform::Label>& label);
    std::shared_ptr<platform::View> audioBall() const;
    void setAudioBall(const std::shared_ptr<platform::View>& view);
    std::shared_ptr<platform::View> micBall() const;
    void setMicBall(const std::shared_ptr<platform::View>& view);
    std::shared_ptr<platform::Label> outputLabel() const;
    void setOutputLabel(const std::shared_ptr<platform::Label>& label);
    std::shared_ptr<platform::ImageView> varenImageView() const;
    void setVarenImageView(const std::shared_ptr<platform::ImageView>& imageView);
    std::shared_ptr<platform::LayoutConstraint> audioBallHeightConstraint() const;
    void setAudioBallHeightConstraint(
        const std::shared_ptr<platform::LayoutConstraint>& constraint);
    std::shared_ptr<platform::LayoutConstraint> audioBallWidthConstraint() const;
    void setAudioBallWidthConstraint(const std::shared_ptr<platform::LayoutConstraint>& constraint);

    // Stops the capture module, if any (it stays set), and closes the screen, animated.
    void stopAndDismiss();
    // The tap action of the layout resource.
    void tapGestureRecognized(platform::TapGestureRecognizer& recognizer);

    // SpeechToTextModuleAudioDelegate
    void volumeChangedWithDecibels(float decibels) override;
    void partialTextRecognized(const std::string& text) override;
    void connectionResumed(std::int64_t attempt) override;

    void viewDidLoad() override;
    void viewDidLayoutSubviews() override;
    // Creates a new capture module each time the screen comes on screen.
    void viewDidAppear(bool animated) override;
    void didReceiveMemoryWarning() override;

  private:
    mutable std::mutex mutex_;  // guards the references below, never held while calling out
    std::weak_ptr<SpeechToTextModuleDelegate> speechDelegate_;
    std::weak_ptr<VarenSTTViewControllerDelegate> delegate_;
    std::shared_ptr<SpeechToTextModule> module_;
    std::string initialMessage_;
    std::weak_ptr<platform::View> alertView_;
    std::weak_ptr<platform::Label> promptLabel_;
    std::weak_ptr<platform::View> audioBall_;
    std::weak_ptr<platform::View> micBall_;
    std::weak_ptr<platform::Label> outputLabel_;
    std::weak_ptr<platform::ImageView> varenImageView_;
    std::weak_ptr<platform::LayoutConstraint> audioBallHeightConstraint_;
    std::weak_ptr<platform::LayoutConstraint> audioBallWidthConstraint_;
};

}  // namespace varen
