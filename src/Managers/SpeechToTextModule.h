#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Managers/SpeexManagers/Encapsulator.h"
#include "Managers/VSWebSocketManager.h"
#include "Platform/Audio/AudioQueue.h"
#include "Platform/Audio/AudioRecorder.h"
#include "Platform/Threads/SharedSlot.h"
#include "varenstt/Platform/AudioInputSource.h"
#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/Timer.h"
#include "varenstt/SpeechToTextModuleDelegate.h"

namespace varen {

// What the capture callback shares with the module.
//
// Thread safety: `mIsRunning` and `mEncapsulator` are read on the input queue's thread while the
// module changes them on its own; both are read and replaced whole (an atomic and a shared slot),
// and the module stops the queue synchronously before it changes them. The other fields are set
// while no callback can run.
class AQRecorderState : public std::enable_shared_from_this<AQRecorderState> {
  public:
    static constexpr int kNumberBuffers = 3;

    platform::AudioStreamBasicDescription mDataFormat{};
    platform::AudioQueueRef mQueue = nullptr;
    platform::AudioQueueBufferRef mBuffers[kNumberBuffers] = {};
    std::uint32_t bufferByteSize = 0;
    std::atomic<std::int64_t> mCurrentPacket{0};
    std::atomic<bool> mIsRunning{false};
    platform::SharedSlot<Encapsulator> mEncapsulator;
};

// The capture callback: hands each filled buffer's PCM to the encapsulator and re-queues the
// buffer while recording. Runs on the input queue's own thread.
void HandleInputBuffer(void* aqData, platform::AudioQueueRef inAQ,
                       platform::AudioQueueBufferRef inBuffer,
                       const platform::AudioTimeStamp* inStartTime, std::uint32_t inNumPackets,
                       const platform::AudioStreamPacketDescription* inPacketDesc);

// One recognition recording, from the microphone permission to the final result: capture into
// rotating buffers, the level meter every 50 ms, encoding and streaming through the
// encapsulator and the stream client, and the results handed to its delegates.
//
// Thread safety: created, started and stopped on the main run loop, where the permission answer,
// the level timer and every recognition callback also run. Only `HandleInputBuffer` runs
// elsewhere, on the input queue's thread (see AQRecorderState).
class SpeechToTextModule : public VSRecognitionDelegate,
                           public EncapsulatingDelegate,
                           public std::enable_shared_from_this<SpeechToTextModule> {
  public:
    // What a run that is not the shared manager's brings of its own. The module then runs on
    // `queue`'s thread instead of the main run loop: it must be created there.
    struct OwnRun {
        std::shared_ptr<VSWebSocketManager> streamClient;
        platform::AudioInputSource input;
        std::shared_ptr<platform::DispatchQueue> queue;
    };

    // Registers the module with the stream client and asks for the record permission; the run
    // starts when the answer arrives. An own run with an input other than the microphone needs
    // no permission and starts at once.
    static std::shared_ptr<SpeechToTextModule> initWithDelegate(
        std::weak_ptr<SpeechToTextModuleDelegate> delegate,
        std::optional<OwnRun> ownRun = std::nullopt);
    ~SpeechToTextModule() override;

    void startRecording();
    void stopRecording();
    bool recording() const;
    void reset();
    void openStream();
    void checkMeter();
    float averagePower();
    void printPathAudio();

    std::shared_ptr<SpeechToTextModuleDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<SpeechToTextModuleDelegate> delegate) {
        delegate_ = std::move(delegate);
    }
    std::shared_ptr<SpeechToTextModuleAudioDelegate> audioDelegate() const {
        return audioDelegate_.lock();
    }
    void setAudioDelegate(std::weak_ptr<SpeechToTextModuleAudioDelegate> delegate) {
        audioDelegate_ = std::move(delegate);
    }
    bool micPermissionGranted() const { return micPermissionGranted_; }
    std::shared_ptr<Encapsulator> encapsulator() const { return encapsulator_; }
    std::shared_ptr<AQRecorderState> aqData() const { return aqData_; }
    std::shared_ptr<platform::AudioRecorder> recorder() const { return recorder_; }
    std::shared_ptr<platform::Timer> meterTimer() const { return meterTimer_; }

    // VSRecognitionDelegate
    void socketManagerCanStartRecordingAudio(VSWebSocketManager& manager, std::nullptr_t) override;
    void socketManagerDidRecognizePartialText(VSWebSocketManager& manager,
                                              const std::string& text) override;
    void socketManagerDidRecognizeAudioWithText(
        VSWebSocketManager& manager, const std::vector<VarenSTTHypothesis>& hypotheses) override;
    void socketManagerDidFailToRecognizeAudioWithError(VSWebSocketManager& manager,
                                                       const Error& error) override;
    void socketManagerDidResume(VSWebSocketManager& manager, std::int64_t attempt) override;
    // EncapsulatingDelegate
    void encapsulatingOver() override {}

    SpeechToTextModule() = default;

  private:
    void permissionAnswered(bool granted);
    void abandonRecordingFile();
    // Reports a capture set-up failure; false when the step failed.
    bool checkAudioStep(platform::OSStatus status, const std::string& errorText);

    std::shared_ptr<VSWebSocketManager> streamClient() const;

    std::optional<OwnRun> ownRun_;
    std::weak_ptr<SpeechToTextModuleDelegate> delegate_;
    std::weak_ptr<SpeechToTextModuleAudioDelegate> audioDelegate_;
    bool micPermissionGranted_ = false;
    std::shared_ptr<Encapsulator> encapsulator_;
    std::shared_ptr<AQRecorderState> aqData_;
    std::shared_ptr<platform::AudioRecorder> recorder_;
    std::shared_ptr<platform::Timer> meterTimer_;
};

}  // namespace varen
