#include "Managers/SpeechToTextModule.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "Managers/SpeexManagers/AudioFormat.h"
#include "Platform/Audio/AudioLevelTap.h"
#include "Platform/Runtime.h"
#include "varenstt/Platform/AudioSession.h"
#include "varenstt/Platform/Log.h"
#include "varenstt/Platform/RunLoop.h"
#include "varenstt/VarenSTTErrors.h"

namespace varen {

namespace {

constexpr std::uint32_t kLargestBufferSize = 0x50000;

Error captureError(VarenSTTErrorCode code, const std::string& message) {
    return Error{VarenSTTErrorDomain, code, {{VarenSTTErrorMessageKey, message}}};
}

// The run under way when the runtime ends is stopped as the host would stop it, so its file is
// complete, and its connection is closed; the runtime's threads are joined after this.
void endRunsAtShutdown() {
    static const char key = 0;
    const auto runtime = platform::Runtime::current();
    runtime->shared<bool>(&key, [&] {
        runtime->atShutdown(platform::Runtime::Stage::endRuns, [] {
            const auto manager = VSWebSocketManager::sharedManager();
            const auto run =
                std::dynamic_pointer_cast<SpeechToTextModule>(manager->recognitionDelegate());
            if (run) run->stopRecording();
            if (const auto socket = manager->socket()) socket->close();
        });
        return std::make_shared<bool>(true);
    });
}

}  // namespace

void HandleInputBuffer(void* aqData, platform::AudioQueueRef inAQ,
                       platform::AudioQueueBufferRef inBuffer, const platform::AudioTimeStamp*,
                       std::uint32_t inNumPackets, const platform::AudioStreamPacketDescription*) {
    auto* state = static_cast<AQRecorderState*>(aqData);
    // Held for the whole callback, whatever the module does meanwhile.
    const auto keepAlive = state->shared_from_this();
    const std::uint32_t bytesPerPacket = state->mDataFormat.mBytesPerPacket;
    if (inNumPackets == 0 && bytesPerPacket != 0 &&
        inBuffer->mAudioDataByteSize >= bytesPerPacket) {
        inNumPackets = inBuffer->mAudioDataByteSize / bytesPerPacket;
    }
    if (inNumPackets > 0) {
        if (auto encapsulator = state->mEncapsulator.load()) {
            encapsulator->inputPCMDataFromBuffer(inBuffer->mAudioData,
                                                 inBuffer->mAudioDataByteSize);
        }
    }
    state->mCurrentPacket += inNumPackets;
    if (state->mIsRunning.load()) platform::AudioQueueEnqueueBuffer(inAQ, inBuffer, 0, nullptr);
}

std::shared_ptr<SpeechToTextModule> SpeechToTextModule::initWithDelegate(
    std::weak_ptr<SpeechToTextModuleDelegate> delegate, std::optional<OwnRun> ownRun) {
    auto module = std::make_shared<SpeechToTextModule>();
    module->ownRun_ = std::move(ownRun);
    if (!module->ownRun_) endRunsAtShutdown();
    module->delegate_ = std::move(delegate);
    module->micPermissionGranted_ = false;
    module->streamClient()->setRecognitionDelegate(module);
    const auto& own = module->ownRun_;
    if (own && own->input.kind() != platform::AudioInputSource::Kind::defaultDevice) {
        own->queue->async([module] { module->permissionAnswered(true); });
        return module;
    }
    auto session = platform::AudioSession::sharedInstance();
    // The answer holds the module and the session until it has been handled.
    session->requestRecordPermission(
        [module, session](bool granted) { module->permissionAnswered(granted); },
        own ? own->queue : nullptr);
    return module;
}

std::shared_ptr<VSWebSocketManager> SpeechToTextModule::streamClient() const {
    return ownRun_ ? ownRun_->streamClient : VSWebSocketManager::sharedManager();
}

SpeechToTextModule::~SpeechToTextModule() {
    // A module dropped while recording (a screen shown again, say) still ends its run: the file
    // is completed and its connection stopped, rather than an encoding loop polling for ever.
    stopRecording();
    if (aqData_ && aqData_->mQueue != nullptr) platform::AudioQueueDispose(aqData_->mQueue, true);
    encapsulator_.reset();
    if (meterTimer_) meterTimer_->invalidate();
    meterTimer_.reset();
}

void SpeechToTextModule::permissionAnswered(bool granted) {
    micPermissionGranted_ = granted;
    if (!granted) {
        if (auto d = delegate()) {
            d->speechRecognizerDidFailWithError(
                *this, captureError(VarenSTTErrorMicrophonePermissionDenied,
                                    "User does not granted microphone permissions"));
        }
        return;
    }

    aqData_ = std::make_shared<AQRecorderState>();
    auto& format = aqData_->mDataFormat;
    format.mSampleRate = audio::kSampleRate;
    format.mFormatID = platform::kAudioFormatLinearPCM;
    format.mFormatFlags =
        platform::kAudioFormatFlagIsSignedInteger | platform::kAudioFormatFlagIsPacked;
    format.mChannelsPerFrame = audio::kChannels;
    format.mBitsPerChannel = audio::kBitsPerSample;
    format.mBytesPerPacket = format.mBytesPerFrame = audio::kChannels * audio::kBytesPerSample;
    format.mFramesPerPacket = 1;
    aqData_->mQueue = nullptr;

    reset();
    // Without an input queue nothing else starts: no file, no timer, no connection.
    if (aqData_->mQueue == nullptr) return;

    auto session = platform::AudioSession::sharedInstance();
    session->setCategoryError(platform::AVAudioSessionCategoryPlayAndRecord);
    session->setActiveError(true);

    const nlohmann::json settings = {
        {platform::AVSampleRateKey, static_cast<float>(audio::kSampleRate)},
        {platform::AVFormatIDKey, platform::kAudioFormatAppleLossless},
        {platform::AVNumberOfChannelsKey, audio::kChannels},
        {platform::AVEncoderAudioQualityKey, platform::AVAudioQualityMin},
    };
    Error ignored;
    recorder_ = platform::AudioRecorder::initWithURLSettingsError("/dev/null", settings, &ignored);
    if (recorder_) {
        recorder_->prepareToRecord();
        recorder_->setMeteringEnabled(true);
    }

    startRecording();
    if (recording()) openStream();
}

bool SpeechToTextModule::checkAudioStep(platform::OSStatus status, const std::string& errorText) {
    if (status == platform::noErr) return true;
    const std::string reason = errorText.empty() ? "error " + std::to_string(status) : errorText;
    if (auto d = delegate()) {
        d->speechRecognizerDidFailWithError(
            *this,
            captureError(VarenSTTErrorAudioInputUnavailable, "Audio input unavailable: " + reason));
    }
    return false;
}

void SpeechToTextModule::reset() {
    if (aqData_->mQueue != nullptr) {
        platform::AudioQueueDispose(aqData_->mQueue, true);
        aqData_->mQueue = nullptr;
    }
    std::string errorText;
    platform::AudioQueueRef queue = nullptr;
    const auto status =
        platform::AudioQueueNewInput(&aqData_->mDataFormat, HandleInputBuffer, aqData_.get(),
                                     &queue, &errorText, ownRun_ ? &ownRun_->input : nullptr);
    if (!checkAudioStep(status, errorText)) return;
    aqData_->mQueue = queue;

    std::uint32_t largestPacket = aqData_->mDataFormat.mBytesPerPacket;
    if (largestPacket == 0) {
        std::uint32_t size = sizeof largestPacket;
        platform::AudioQueueGetProperty(
            queue, platform::kAudioQueueProperty_MaximumOutputPacketSize, &largestPacket, &size);
    }
    const double halfSecond = aqData_->mDataFormat.mSampleRate * largestPacket * 0.5;
    aqData_->bufferByteSize =
        static_cast<std::uint32_t>(std::min(halfSecond, static_cast<double>(kLargestBufferSize)));
    for (auto& buffer : aqData_->mBuffers) {
        platform::AudioQueueAllocateBuffer(queue, aqData_->bufferByteSize, &buffer);
        platform::AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr);
    }

    if (meterTimer_) meterTimer_->invalidate();
    meterTimer_.reset();
}

bool SpeechToTextModule::recording() const {
    return aqData_ && aqData_->mIsRunning.load();
}

void SpeechToTextModule::startRecording() {
    if (!micPermissionGranted_ || recording()) return;
    aqData_->mCurrentPacket = 0;
    aqData_->mIsRunning = true;
    reset();
    if (aqData_->mQueue == nullptr) {
        aqData_->mIsRunning = false;
        return;
    }
    if (recorder_) {
        // A run of its own meters its own queue only: other runs may be capturing meanwhile.
        if (ownRun_) recorder_->setMeteredQueue(aqData_->mQueue);
        recorder_->record();
    }

    // The encoder is ready before capture starts: a source with audio at hand (pushed audio, an
    // unpaced file) delivers its first buffer at once.
    const std::string fileName = Encapsulator::defaultFileName();
    if (encapsulator_) {
        encapsulator_->resetWithFileName(fileName);
    } else {
        encapsulator_ = Encapsulator::initWithFileName(fileName);
        encapsulator_->setDelegete(shared_from_this());
        encapsulator_->setPacketSink(streamClient());
    }
    aqData_->mEncapsulator.store(encapsulator_);
    encapsulator_->prepareForEncapsulating();

    std::string errorText;
    if (!checkAudioStep(platform::AudioQueueStart(aqData_->mQueue, nullptr, &errorText),
                        errorText)) {
        aqData_->mIsRunning = false;
        if (recorder_) recorder_->stop();
        abandonRecordingFile();
        return;
    }

    std::weak_ptr<SpeechToTextModule> weakSelf = weak_from_this();
    meterTimer_ = platform::Timer::scheduledTimer(
        std::chrono::milliseconds(50), true,
        [weakSelf](platform::Timer&) {
            if (auto self = weakSelf.lock()) self->checkMeter();
        },
        platform::RunLoop::current());
}

// Capture never started: no recording is left behind.
void SpeechToTextModule::abandonRecordingFile() {
    if (auto current = aqData_->mEncapsulator.exchange(nullptr)) current->stopEncapsulating(true);
    if (auto operation = encapsulator_->encapsulationOperation()) operation->waitUntilFinished();
    std::error_code ignored;
    std::filesystem::remove(encapsulator_->mFileName(), ignored);
}

void SpeechToTextModule::stopRecording() {
    if (!recording()) return;
    // Synchronous: no capture callback runs once it returns.
    platform::AudioQueueStop(aqData_->mQueue, true);
    aqData_->mIsRunning = false;
    if (recorder_) recorder_->stop();
    if (encapsulator_) encapsulator_->stopEncapsulating(true);
    if (auto current = aqData_->mEncapsulator.exchange(nullptr)) current->stopEncapsulating(false);
    // A cancelled loop leaves within one frame; waiting for it means the recording file is
    // complete before anyone hears that the run is over.
    if (encapsulator_) {
        if (auto operation = encapsulator_->encapsulationOperation())
            operation->waitUntilFinished();
    }
    if (meterTimer_) meterTimer_->invalidate();
    meterTimer_.reset();
    // Only this run's own connection: a newer run may have opened one since.
    streamClient()->forceCloseStreamOfRun(*this);
}

void SpeechToTextModule::openStream() {
    streamClient()->openStream();
}

void SpeechToTextModule::checkMeter() {
    const float decibels = averagePower();
    if (auto d = audioDelegate()) d->volumeChangedWithDecibels(decibels);
}

float SpeechToTextModule::averagePower() {
    if (!recorder_) return platform::kAudioLevelFloorDecibels;
    recorder_->updateMeters();
    return recorder_->averagePowerForChannel(0);
}

void SpeechToTextModule::printPathAudio() {
    const std::string path = Encapsulator::defaultFileName();
    platform::log(LogLevel::debug, "PATH DEL FILE SPX: " + path);
    std::error_code ignored;
    std::filesystem::remove(path, ignored);  // only the name was wanted, not its empty file
}

void SpeechToTextModule::socketManagerCanStartRecordingAudio(VSWebSocketManager&, std::nullptr_t) {}

void SpeechToTextModule::socketManagerDidRecognizePartialText(VSWebSocketManager&,
                                                              const std::string& text) {
    platform::log(LogLevel::debug, "didRecognizePartialText " + text);
    if (auto d = audioDelegate()) d->partialTextRecognized(text);
}

void SpeechToTextModule::socketManagerDidResume(VSWebSocketManager&, std::int64_t attempt) {
    if (auto d = audioDelegate()) d->connectionResumed(attempt);
}

void SpeechToTextModule::socketManagerDidRecognizeAudioWithText(
    VSWebSocketManager&, const std::vector<VarenSTTHypothesis>& hypotheses) {
    // Keeps the module alive through the delegate call, which may drop the last other reference.
    auto self = shared_from_this();
    stopRecording();
    if (auto d = delegate()) d->speechRecognizerDidRecognizeAudioWithText(*this, hypotheses);
}

void SpeechToTextModule::socketManagerDidFailToRecognizeAudioWithError(VSWebSocketManager&,
                                                                       const Error& error) {
    auto self = shared_from_this();
    stopRecording();
    if (auto d = delegate()) d->speechRecognizerDidFailWithError(*this, error);
}

}  // namespace varen
