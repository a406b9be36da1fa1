#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "varenstt/Export.h"
#include "varenstt/Platform/Data.h"

namespace varen::platform {

// Posted through NotificationCenter::defaultCenter() when a finite input source (a file or a
// script) has played out at its pace: one buffer's duration after the input queue delivered its
// last buffer. The sender is the input queue. Posted on the queue's thread, and never after the
// queue's stop has returned.
inline constexpr const char* AudioInputDidPlayOutNotification = "AudioInputDidPlayOutNotification";

// One buffer of a scripted source.
struct VARENSTT_API ScriptedAudioBuffer {
    Data bytes;
    // The packet count reported with the buffer; none means as many whole packets as the bytes
    // hold. An explicit count keeps the buffer whole (one delivery, cut to the buffer capacity).
    std::optional<std::uint32_t> packetCount;

    // Signed 16-bit samples in host byte order.
    static ScriptedAudioBuffer pcm(const std::vector<std::int16_t>& samples);
    // A buffer reporting zero packets while holding `byteCount` bytes of silence.
    static ScriptedAudioBuffer zeroPackets(std::uint32_t byteCount);
};

// Audio a host hands in itself, at its own rate, for a pushed source: `push` from any thread,
// `end` after the last samples. Samples pushed before the source's queue starts wait for it;
// beyond a minute of audio waiting, the oldest are dropped.
class VARENSTT_API PushedAudio {
  public:
    explicit PushedAudio(std::uint32_t sampleRate);
    ~PushedAudio();
    PushedAudio(const PushedAudio&) = delete;
    PushedAudio& operator=(const PushedAudio&) = delete;

    std::uint32_t sampleRate() const { return sampleRate_; }
    void push(const std::int16_t* samples, std::size_t count);
    void end();

    struct Taken {
        std::vector<std::int16_t> samples;
        bool ended = false;
    };
    // For the source: what has arrived, once there is something or the end, or at `deadline`.
    Taken takeUntil(std::chrono::steady_clock::time_point deadline);
    // Wakes a waiting `takeUntil` at once (the source is stopping).
    void interrupt();

  private:
    struct State;
    const std::uint32_t sampleRate_;
    const std::unique_ptr<State> state_;
};

// Where input queues take their audio from. The host chooses it before a run through
// `setDefaultAudioInputSource`; every input queue created afterwards uses that choice.
class VARENSTT_API AudioInputSource {
  public:
    enum class Kind { defaultDevice, file, scripted, pushed };

    // A `speed` of infinity: no pacing at all.
    static constexpr double kUnpaced = std::numeric_limits<double>::infinity();

    // The default input device (the default source).
    static AudioInputSource defaultDevice();
    // Any file libsndfile reads, or an Ogg Speex file such as the library's own recordings,
    // mixed to mono and resampled to the queue's rate, delivered at `speed` times real time.
    static AudioInputSource file(std::filesystem::path path, double speed = 1.0);
    // The buffers in order, one per delivery (longer ones split across deliveries), each after
    // `interval`; then nothing more.
    static AudioInputSource scripted(std::vector<ScriptedAudioBuffer> buffers,
                                     std::chrono::steady_clock::duration interval = {});

    // What the host pushes into `feed`, mixed to the queue's rate, as it arrives.
    static AudioInputSource pushed(std::shared_ptr<PushedAudio> feed);

    Kind kind() const { return kind_; }
    const std::shared_ptr<PushedAudio>& feed() const { return feed_; }
    const std::filesystem::path& path() const { return path_; }
    double speed() const { return speed_; }
    const std::vector<ScriptedAudioBuffer>& buffers() const { return buffers_; }
    std::chrono::steady_clock::duration interval() const { return interval_; }

  private:
    Kind kind_ = Kind::defaultDevice;
    std::filesystem::path path_;
    double speed_ = 1.0;
    std::vector<ScriptedAudioBuffer> buffers_;
    std::chrono::steady_clock::duration interval_{};
    std::shared_ptr<PushedAudio> feed_;
};

// The length in seconds of a file that `AudioInputSource::file` plays; none when it cannot be
// read or does not tell its length.
VARENSTT_API std::optional<double> audioFileDuration(const std::filesystem::path& path);

// The process-wide choice; the default device until set. Callable from any thread.
VARENSTT_API void setDefaultAudioInputSource(AudioInputSource source);
VARENSTT_API AudioInputSource defaultAudioInputSource();

}  // namespace varen::platform
