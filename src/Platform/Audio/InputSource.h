#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Platform/Audio/AudioQueue.h"
#include "Platform/Foundation/Result.h"
#include "varenstt/Platform/AudioInputSource.h"

namespace varen::platform {

// Why a source could not be made or started: the queue's status and a text for the host.
struct AudioFailure {
    OSStatus status = noErr;
    std::string text;
};

// What feeds an input queue: 16-bit mono PCM at the queue's rate.
//
// Thread safety: `fill` and `waitUntil` run on the queue's thread only; `start` and `stop` may
// be called from any thread, also while `fill` is blocked, which `stop` wakes up.
class InputSource {
  public:
    using Clock = std::chrono::steady_clock;

    struct Fill {
        std::uint32_t byteCount = 0;
        std::uint32_t packetCount = 0;
        // False when nothing is to be handed to the callback (stopped, or nothing left).
        bool delivered = false;
        // True once the source has nothing more; set with its last delivery when it knows.
        bool ended = false;
    };

    virtual ~InputSource() = default;

    virtual Result<void, AudioFailure> start();
    virtual void stop();
    // Fills up to `capacity` bytes (a whole number of samples), blocking until the audio is
    // there, the source's pace allows it, or `stop` is called.
    virtual Fill fill(std::uint8_t* data, std::uint32_t capacity) = 0;
    // How long after its last delivery a finite source's audio has played out.
    virtual Clock::duration playOutDelay(std::uint32_t capacity) const = 0;
    // True when the source publishes its level as the audio is captured (a device period, a
    // file's playing position); otherwise the queue publishes each delivered buffer's level.
    // Meters refresh every 50 ms, far more often than buffers arrive.
    virtual bool metersAsCaptured() const { return false; }
    // The queue the source's level readings are published for.
    void setLevelOrigin(const void* origin) { levelOrigin_.store(origin); }
    // The level of audio heard now, or at `heardAt` (the meter waits for that time).
    void publishLevel(const void* data, std::size_t byteCount,
                      Clock::time_point heardAt = Clock::now()) const;

    // Sleeps until the deadline; false when `stop` came first.
    bool waitUntil(Clock::time_point deadline);

  protected:
    bool stoppedLocked() const { return stopped_; }

    std::mutex mutex_;
    std::condition_variable wake_;

  private:
    bool stopped_ = true;
    std::atomic<const void*> levelOrigin_{nullptr};
};

using MadeInputSource = Result<std::unique_ptr<InputSource>, AudioFailure>;

// The source the description names, ready to start.
MadeInputSource makeInputSource(const AudioInputSource& description, std::uint32_t sampleRate);

std::unique_ptr<InputSource> makeScriptedInputSource(const AudioInputSource& description);
MadeInputSource makeFileInputSource(const AudioInputSource& description, std::uint32_t sampleRate);
MadeInputSource makeDeviceInputSource(std::uint32_t sampleRate);
MadeInputSource makePushedInputSource(const AudioInputSource& description,
                                      std::uint32_t sampleRate);

}  // namespace varen::platform
