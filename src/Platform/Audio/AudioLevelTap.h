#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace varen::platform {

// The floor of every level reading: silence, or no audio at all.
inline constexpr float kAudioLevelFloorDecibels = -160.0f;

// The average power of 16-bit samples in dBFS: 20·log10 of their RMS over full scale (32768),
// never below the floor.
float averagePowerInDecibels(double sumOfSquares, std::uint64_t sampleCount);

using LevelClock = std::chrono::steady_clock;

// Collects the power of the audio that input queues deliver, for one meter.
//
// Thread safety: `add` runs on input queues' threads, `take` on the meter's thread; both lock.
class AudioLevelAccumulator {
  public:
    // Audio from `origin` only (an input queue), or from every queue when none is set.
    void setOrigin(const void* origin);
    // Audio heard at `heardAt`; audio handed in ahead of its time waits for it.
    void add(double sumOfSquares, std::uint64_t sampleCount, const void* origin,
             LevelClock::time_point heardAt);
    // The average power of what was heard since the previous `take`, in dBFS; the floor when
    // nothing was.
    float take();

  private:
    struct Ahead {
        LevelClock::time_point heardAt;
        double sumOfSquares;
        std::uint64_t sampleCount;
    };
    // A source hands in at most a buffer ahead; past this the oldest counts at once.
    static constexpr std::size_t kMaxAhead = 256;

    std::mutex mutex_;
    const void* origin_ = nullptr;
    double sumOfSquares_ = 0;
    std::uint64_t sampleCount_ = 0;
    std::vector<Ahead> ahead_;
};

// Meters see what every input queue of the process delivers, from registration until removal.
void addAudioLevelObserver(const std::shared_ptr<AudioLevelAccumulator>& observer);
void removeAudioLevelObserver(const std::shared_ptr<AudioLevelAccumulator>& observer);
// Called with the audio of an input queue (`origin`) as it is captured or delivered (16-bit
// samples, host byte order), or ahead of the time it will be heard at.
void publishInputLevel(const void* data, std::size_t byteCount, const void* origin,
                       LevelClock::time_point heardAt = LevelClock::now());

}  // namespace varen::platform
