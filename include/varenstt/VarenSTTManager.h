#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "varenstt/Export.h"
#include "varenstt/Platform/Error.h"
#include "varenstt/Platform/URL.h"
#include "varenstt/VarenSTTErrors.h"
#include "varenstt/VarenSTTHypothesis.h"

namespace varen {

namespace platform {
class ViewController;
}

class VarenSTTManager;
class SpeechToTextModule;
class VarenSTTViewController;

// What the host hears of a recognition. Every method is optional; the first argument is always
// the manager. Results, partial text and failures arrive on the main run loop; levels arrive from
// the capture module's meter timer, which also runs there.
class VARENSTT_API VarenSTTManagerDelegate {
  public:
    virtual ~VarenSTTManagerDelegate() = default;
    // The final result: every alternative, in the server's order.
    virtual void varenSTTManagerDidRecognizeAudioWith(
        VarenSTTManager& manager, const std::vector<VarenSTTHypothesis>& hypotheses) {
        (void)manager, (void)hypotheses;
    }
    // A failure, as one message; the run is over.
    virtual void varenSTTManagerDidFailRecognizeAudioWithError(VarenSTTManager& manager,
                                                               const std::string& message) {
        (void)manager, (void)message;
    }
    virtual void varenSTTManagerDidRecognizePartialAudioWith(VarenSTTManager& manager,
                                                             const std::string& text) {
        (void)manager, (void)text;
    }
    // The microphone level in dBFS.
    virtual void varenSTTManagerDidChangeVolumeWithDecibels(VarenSTTManager& manager,
                                                            float decibels) {
        (void)manager, (void)decibels;
    }
    // The run goes on over a new connection after its connection dropped; `attempt` counts the
    // attempts in a row that it took (1 for the first). Partial text may start again.
    virtual void varenSTTManagerDidResume(VarenSTTManager& manager, std::int64_t attempt) {
        (void)manager, (void)attempt;
    }
};

// The library's public entry point: the shared object that holds the recognition settings,
// starts and stops a run (directly, or through the built-in screen) and passes results, partial
// text, levels and failures to the host's delegate.
//
// Thread safety: none of its own. The host calls it on the main thread (the one running the
// main run loop), where the library also calls back; only the creation of the shared instance
// is synchronized.
class VARENSTT_API VarenSTTManager : public std::enable_shared_from_this<VarenSTTManager> {
  public:
    // The one shared instance, created on first use (safe from several threads at once).
    static std::shared_ptr<VarenSTTManager> shared();

    VarenSTTManager();
    ~VarenSTTManager();

    // Settings.
    const std::string& apiKey() const { return apiKey_; }
    void setApiKey(std::string apiKey) { apiKey_ = std::move(apiKey); }
    const std::string& decoderUrl() const { return decoderUrl_; }
    void setDecoderUrl(std::string decoderUrl) { decoderUrl_ = std::move(decoderUrl); }
    const std::string& prompt() const { return prompt_; }
    void setPrompt(std::string prompt) { prompt_ = std::move(prompt); }
    std::int64_t maxResults() const { return maxResults_; }
    void setMaxResults(std::int64_t maxResults) { maxResults_ = maxResults; }
    float minSilence() const { return minSilence_; }
    void setMinSilence(float minSilence) { minSilence_ = minSilence; }
    const std::string& languageModel() const { return languageModel_; }
    void setLanguageModel(std::string languageModel) { languageModel_ = std::move(languageModel); }
    // Seconds the server has to send its final result after the stop command; past it the run
    // fails with "No final result from the server". 30 by default; 0 (or less) waits for ever.
    double finalResultTimeout() const { return finalResultTimeout_; }
    void setFinalResultTimeout(double seconds) { finalResultTimeout_ = seconds; }
    // How many times in a row a run whose connection drops before its final result opens a new
    // one and replays its audio from the start; the host hears of a failure only once they are
    // used up. 0 (the default) never resumes.
    std::int64_t resumeAttempts() const { return resumeAttempts_; }
    void setResumeAttempts(std::int64_t attempts) { resumeAttempts_ = attempts; }
    // Seconds of server silence after which a ping goes out; a run whose server then stays
    // silent as long again fails ("No pong from the server"). 0 (the default) sends none.
    double pingInterval() const { return pingInterval_; }
    void setPingInterval(double seconds) { pingInterval_ = seconds; }
    // An HTTP proxy to tunnel through, "http://[user:password@]host:port"; empty (the default)
    // connects directly. The library never reads the environment for it.
    const std::string& proxyUrl() const { return proxyUrl_; }
    void setProxyUrl(std::string proxyUrl) { proxyUrl_ = std::move(proxyUrl); }

    // `decoderUrl` followed by "?key=<apiKey>&model=<languageModel>", both percent-encoded;
    // no URL when the joined text does not parse.
    std::optional<URL> serviceURL() const;

    // Run control.
    std::shared_ptr<VarenSTTManagerDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<VarenSTTManagerDelegate> delegate) {
        delegate_ = std::move(delegate);
    }
    // Begins a direct run: permission, capture and the connection to the server.
    void startRecognize();
    // Ends the current run; the final result the server then sends still reaches the delegate.
    void stopRecognize();
    bool isRecognizing() const;
    // A new recognition screen for the host to present modally; it runs a recognition once it
    // is on screen. Each read builds a new one.
    std::shared_ptr<platform::ViewController> varenSTTViewController();
    // The Ogg Speex file of the last run that ended in a result or a failure.
    std::optional<std::filesystem::path> recordingPath() const { return recordingPath_; }

    // What the capture module and the screen report; they reach these through a delegate the
    // manager owns, which lives and dies with it.
    void speechRecognizerDidRecognizeAudioWithText(
        SpeechToTextModule& module, const std::vector<VarenSTTHypothesis>& hypotheses);
    void speechRecognizerDidFailWithError(SpeechToTextModule& module, const Error& error);
    void volumeChangedWithDecibels(float decibels);
    void partialTextRecognized(const std::string& text);
    void didRecognizePartialText(const std::string& text);
    void didChangeVolumeWithDecibels(float decibels);
    void connectionResumed(std::int64_t attempt);

  private:
    class DelegateBridge;
    // The bridge as a delegate of the given protocol: a pointer that shares the manager's
    // ownership, so it expires with the manager (and is empty for one no shared pointer owns).
    template <class Protocol>
    std::weak_ptr<Protocol> bridgeAs();

    void initModule();
    // Dismisses the screen of a screen run; the completion, when given, tells the host.
    void dismissScreenThen(std::function<void(VarenSTTManagerDelegate&, VarenSTTManager&)> tell);
    void stopDirectRun();
    void rememberRecording(const SpeechToTextModule& module);

    std::string apiKey_;
    std::string decoderUrl_;
    std::string prompt_;
    std::int64_t maxResults_;
    float minSilence_;
    std::string languageModel_;
    double finalResultTimeout_ = 30.0;
    std::int64_t resumeAttempts_ = 0;
    double pingInterval_ = 0.0;
    std::string proxyUrl_;

    std::weak_ptr<VarenSTTManagerDelegate> delegate_;
    std::shared_ptr<VarenSTTViewController> varenViewController_;
    std::shared_ptr<SpeechToTextModule> module_;
    bool usingVarenViewController_ = false;
    std::optional<std::filesystem::path> recordingPath_;
    std::unique_ptr<DelegateBridge> bridge_;
};

}  // namespace varen
