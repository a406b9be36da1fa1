#include "varenstt/Recognizer.h"

#include <chrono>
#include <mutex>
#include <stdexcept>

#include "Managers/RecognitionSettings.h"
#include "Managers/SpeechToTextModule.h"
#include "Managers/VSWebSocketManager.h"
#include "Platform/Runtime.h"
#include "Platform/Threads/DispatchQueueAccess.h"
#include "Public/FailureMessage.h"
#include "WebSocket/SRRunLoopThread.h"
#include "varenstt/Platform/NotificationCenter.h"

namespace varen {

namespace {

using platform::AudioInputSource;

// A Recognizer's settings, fixed when it is made.
class OwnSettings final : public RecognitionSettings {
  public:
    explicit OwnSettings(const RecognizerOptions& options)
        : url_(recognitionServiceURL(options.url, options.apiKey, options.model)),
          maxResults_(options.maxResults),
          minSilence_(options.minSilence),
          finalResultTimeout_(options.finalResultTimeout),
          resumeAttempts_(options.resumeAttempts),
          pingInterval_(options.pingInterval),
          proxyUrl_(options.proxyUrl) {}

    std::optional<URL> serviceURL() const override { return url_; }
    std::int64_t maxResults() const override { return maxResults_; }
    float minSilence() const override { return minSilence_; }
    double finalResultTimeout() const override { return finalResultTimeout_; }
    std::int64_t resumeAttempts() const override { return resumeAttempts_; }
    double pingInterval() const override { return pingInterval_; }
    std::string proxyUrl() const override { return proxyUrl_; }

  private:
    const std::optional<URL> url_;
    const std::int64_t maxResults_;
    const float minSilence_;
    const double finalResultTimeout_;
    const std::int64_t resumeAttempts_;
    const double pingInterval_;
    const std::string proxyUrl_;
};

std::exception_ptr failure(const std::string& message) {
    return std::make_exception_ptr(RecognitionError(
        makeErrorCode(ErrorDomain::recognition, VarenSTTRecognitionErrorFailed), message));
}

}  // namespace

// One run: its capture module, stream client and outcome.
//
// Thread safety: the module lives on `queue`, a serial queue on the network thread, where its
// timers, socket callbacks and recognition events also run; everything marked "queue only"
// belongs there. The host's calls come from any thread and meet the run under `mutex`. The
// host's callbacks run one at a time on `callbackQueue`.
struct VARENSTT_LOCAL Recognizer::Run final : SpeechToTextModuleDelegate,
                                              SpeechToTextModuleAudioDelegate,
                                              std::enable_shared_from_this<Run> {
    struct Callbacks {
        std::function<void(std::string_view)> partial;
        std::function<void(const Recognition&)> final;
        std::function<void(float)> level;
        std::function<void(std::error_code, std::string_view)> error;
        std::function<void(std::int64_t)> resume;
    };

    explicit Run(const RecognizerOptions& options)
        : queue(platform::DispatchQueueAccess::createOn(SR_networkRunLoop(),
                                                        "com.varen.stt.recognizer")),
          callbackQueue(options.callbacksOnMainRunLoop ? platform::DispatchQueue::main()
                                                       : platform::DispatchQueue::create(
                                                             "com.varen.stt.recognizer.callbacks")),
          streamClient(std::make_shared<VSWebSocketManager>(std::make_shared<OwnSettings>(options),
                                                            queue)) {}

    void start(const AudioInput& input) {
        {
            std::lock_guard lock(mutex);
            if (started) throw std::logic_error("a Recognizer runs once");
            started = true;
            if (over) return;  // cancelled before it started
            feed = input.source().feed();
            selfRetain = shared_from_this();
        }
        endAtShutdown();
        queue->async([self = shared_from_this(), source = input.source()] { self->begin(source); });
    }

    void push(const std::int16_t* samples, std::size_t count) {
        std::shared_ptr<platform::PushedAudio> target;
        {
            std::lock_guard lock(mutex);
            target = feed;
        }
        if (target) target->push(samples, count);
    }

    void stop() {
        std::shared_ptr<platform::PushedAudio> target;
        {
            std::lock_guard lock(mutex);
            if (!started || over) return;
            target = feed;
        }
        // Pushed audio ends once the source has delivered all of it; see `playedOut`.
        if (target) return target->end();
        queue->async([self = shared_from_this()] {
            if (self->module) self->module->stopRecording();
        });
    }

    void cancel() {
        {
            std::lock_guard lock(mutex);
            if (over) return;
            over = true;
            cancelled = true;
            promise.set_exception(failure("Cancelled"));
        }
        queue->async([self = shared_from_this()] { self->endModule(); });
    }

    // ---- queue only ----

    void begin(const AudioInputSource& source) {
        if (concluded()) return endModule();
        module = SpeechToTextModule::initWithDelegate(
            weak_from_this(), SpeechToTextModule::OwnRun{streamClient, source, queue});
        module->setAudioDelegate(weak_from_this());
        if (source.kind() == AudioInputSource::Kind::defaultDevice) return;
        // A file or pushed audio ends the capture once its last buffer has been taken.
        std::weak_ptr<Run> weak = weak_from_this();
        playOutObserver = platform::NotificationCenter::defaultCenter().addObserver(
            platform::AudioInputDidPlayOutNotification, nullptr,
            [weak](const platform::Notification& notification) {
                if (auto self = weak.lock()) {
                    self->queue->async(
                        [self, sender = notification.sender] { self->playedOut(sender); });
                }
            });
    }

    void playedOut(const void* inputQueue) {
        if (!module || !module->aqData() || module->aqData()->mQueue != inputQueue) return;
        stopOnceEncoded(std::chrono::steady_clock::now() + kDrainDeadline);
    }

    // A stop cancels the frames not yet encoded. Pushed audio and fast files outrun the encoder,
    // so their end waits until it has caught up (looking as often as it looks for frames).
    void stopOnceEncoded(std::chrono::steady_clock::time_point deadline) {
        if (!module) return;
        const auto encapsulator = module->encapsulator();
        if (encapsulator && encapsulator->pendingFrameCount() > 0 &&
            std::chrono::steady_clock::now() < deadline) {
            queue->after(std::chrono::milliseconds(20), [self = shared_from_this(), deadline] {
                self->stopOnceEncoded(deadline);
            });
            return;
        }
        module->stopRecording();
    }

    static constexpr auto kDrainDeadline = std::chrono::seconds(30);

    // Capture ends, the module and the stream client let go of each other, and the run no
    // longer keeps itself.
    void endModule() {
        if (playOutObserver) {
            platform::NotificationCenter::defaultCenter().removeObserver(playOutObserver);
            playOutObserver.reset();
        }
        if (module) {
            module->setDelegate({});
            module->setAudioDelegate({});
            module->stopRecording();
            module.reset();
        }
        streamClient->setRecognitionDelegate(nullptr);
        std::shared_ptr<Run> released;
        std::lock_guard lock(mutex);
        released = std::move(selfRetain);
    }

    void speechRecognizerDidRecognizeAudioWithText(
        SpeechToTextModule& from, const std::vector<VarenSTTHypothesis>& hypotheses) override {
        Recognition recognition{hypotheses, {}};
        if (auto encapsulator = from.encapsulator()) {
            recognition.recordingPath = encapsulator->mFileName();
        }
        if (!conclude([&] { promise.set_value(recognition); })) return;
        tell([recognition](Callbacks& c) {
            if (c.final) c.final(recognition);
        });
        endModule();
    }

    void speechRecognizerDidFailWithError(SpeechToTextModule&, const Error& error) override {
        const auto code = makeErrorCode(error);
        const std::string message = failureMessage(error);
        if (!conclude([&] {
                promise.set_exception(std::make_exception_ptr(RecognitionError(code, message)));
            })) {
            return;
        }
        tell([code, message](Callbacks& c) {
            if (c.error) c.error(code, message);
        });
        endModule();
    }

    void volumeChangedWithDecibels(float decibels) override {
        tell([decibels](Callbacks& c) {
            if (c.level) c.level(decibels);
        });
    }

    void connectionResumed(std::int64_t attempt) override {
        tell([attempt](Callbacks& c) {
            if (c.resume) c.resume(attempt);
        });
    }

    void partialTextRecognized(const std::string& text) override {
        tell([text](Callbacks& c) {
            if (c.partial) c.partial(text);
        });
    }

    // ---- any thread ----

    // The run's outcome is decided here, once, by `settle` putting it into the promise; false
    // when it already was (or the run was cancelled).
    template <typename Settle>
    bool conclude(Settle&& settle) {
        std::lock_guard lock(mutex);
        if (over) return false;
        over = true;
        settle();
        return true;
    }

    bool concluded() {
        std::lock_guard lock(mutex);
        return over;
    }

    // A callback, in order with the others, unless the run is cancelled by the time it runs.
    void tell(std::function<void(Callbacks&)> call) {
        callbackQueue->async([self = shared_from_this(), call = std::move(call)] {
            Callbacks current;
            {
                std::lock_guard lock(self->mutex);
                if (self->cancelled) return;
                current = self->callbacks;
            }
            call(current);
        });
    }

    // Runs still going when the library shuts down are cancelled, their capture stopped and
    // their files completed, before the network thread goes.
    struct LiveRuns {
        std::mutex mutex;
        std::vector<std::weak_ptr<Run>> runs;
    };

    void endAtShutdown() {
        static const char key = 0;
        const auto runtime = platform::Runtime::current();
        const auto live = runtime->shared<LiveRuns>(&key, [&] {
            auto made = std::make_shared<LiveRuns>();
            runtime->atShutdown(platform::Runtime::Stage::endRuns, [made] {
                std::vector<std::weak_ptr<Run>> runs;
                {
                    std::lock_guard lock(made->mutex);
                    runs.swap(made->runs);
                }
                for (const auto& weak : runs)
                    if (auto run = weak.lock()) run->endNow();
            });
            return made;
        });
        std::lock_guard lock(live->mutex);
        std::erase_if(live->runs, [](const std::weak_ptr<Run>& run) { return run.expired(); });
        live->runs.push_back(weak_from_this());
    }

    // Cancels the run and waits (a few seconds at most) until its capture has ended.
    void endNow() {
        cancel();
        auto ended = std::make_shared<std::promise<void>>();
        auto waited = ended->get_future();
        queue->async([ended] { ended->set_value(); });
        waited.wait_for(std::chrono::seconds(5));
    }

    const std::shared_ptr<platform::DispatchQueue> queue;
    const std::shared_ptr<platform::DispatchQueue> callbackQueue;
    const std::shared_ptr<VSWebSocketManager> streamClient;

    std::mutex mutex;
    Callbacks callbacks;
    bool started = false;
    bool over = false;  // the outcome is decided: nothing else goes into `promise`
    bool cancelled = false;
    std::promise<Recognition> promise;
    std::shared_ptr<Run> selfRetain;  // from the start until the module has ended
    std::shared_ptr<platform::PushedAudio> feed;

    // Queue only.
    std::shared_ptr<SpeechToTextModule> module;
    platform::NotificationCenter::Token playOutObserver;
};

AudioInput AudioInput::microphone() {
    return AudioInput(AudioInputSource::defaultDevice());
}

AudioInput AudioInput::file(std::filesystem::path path, double speed) {
    return AudioInput(AudioInputSource::file(std::move(path), speed));
}

AudioInput AudioInput::push(std::uint32_t sampleRate) {
    return AudioInput(
        AudioInputSource::pushed(std::make_shared<platform::PushedAudio>(sampleRate)));
}

std::shared_ptr<Recognizer> Recognizer::create(RecognizerOptions options) {
    return std::shared_ptr<Recognizer>(new Recognizer(std::make_shared<Run>(options)));
}

Recognizer::Recognizer(std::shared_ptr<Run> run) : run_(std::move(run)) {}

Recognizer::~Recognizer() = default;

void Recognizer::onPartial(std::function<void(std::string_view)> callback) {
    std::lock_guard lock(run_->mutex);
    run_->callbacks.partial = std::move(callback);
}

void Recognizer::onFinal(std::function<void(const Recognition&)> callback) {
    std::lock_guard lock(run_->mutex);
    run_->callbacks.final = std::move(callback);
}

void Recognizer::onLevel(std::function<void(float)> callback) {
    std::lock_guard lock(run_->mutex);
    run_->callbacks.level = std::move(callback);
}

void Recognizer::onError(std::function<void(std::error_code, std::string_view)> callback) {
    std::lock_guard lock(run_->mutex);
    run_->callbacks.error = std::move(callback);
}

void Recognizer::onResume(std::function<void(std::int64_t)> callback) {
    std::lock_guard lock(run_->mutex);
    run_->callbacks.resume = std::move(callback);
}

void Recognizer::start(AudioInput input) {
    run_->start(input);
}

void Recognizer::push(const std::int16_t* samples, std::size_t count) {
    run_->push(samples, count);
}

void Recognizer::stop() {
    run_->stop();
}

void Recognizer::cancel() {
    run_->cancel();
}

std::future<Recognition> Recognizer::result() {
    std::lock_guard lock(run_->mutex);
    return run_->promise.get_future();
}

std::future<Recognition> recognizeFile(std::filesystem::path path, RecognizerOptions options) {
    const auto recognizer = Recognizer::create(std::move(options));
    auto outcome = recognizer->result();
    recognizer->start(AudioInput::file(std::move(path)));
    return outcome;
}

}  // namespace varen
