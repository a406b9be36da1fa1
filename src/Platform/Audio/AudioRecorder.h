#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>

#include <nlohmann/json.hpp>

#include "varenstt/Platform/Error.h"

namespace varen::platform {

class AudioLevelAccumulator;

// Settings keys of the recorder.
inline constexpr const char* AVSampleRateKey = "AVSampleRateKey";
inline constexpr const char* AVFormatIDKey = "AVFormatIDKey";
inline constexpr const char* AVNumberOfChannelsKey = "AVNumberOfChannelsKey";
inline constexpr const char* AVEncoderAudioQualityKey = "AVEncoderAudioQualityKey";
inline constexpr int AVAudioQualityMin = 0;
inline constexpr int AVAudioQualityMax = 127;

// The domain of the recorder's errors; their codes are the OSStatus values of AudioQueue.h.
inline constexpr const char* NSOSStatusErrorDomain = "NSOSStatusErrorDomain";

// A level meter over the input: while recording, it measures what the default input source
// delivers to the process's input queues. It keeps no audio, whatever its URL.
//
// Thread safety: the recorder's members are called from one thread at a time (the meter's);
// the audio it measures arrives on input queue threads through a locked accumulator.
class AudioRecorder {
  public:
    // No recorder, and `outError` set, when the settings are unusable: a sample rate or a
    // channel count that is not positive, a quality outside 0...127, or a value of the wrong
    // type. Missing keys take 8000 Hz, linear PCM, one channel, minimum quality.
    static std::shared_ptr<AudioRecorder> initWithURLSettingsError(const std::filesystem::path& url,
                                                                   const nlohmann::json& settings,
                                                                   Error* outError);
    ~AudioRecorder();

    bool prepareToRecord();
    void setMeteringEnabled(bool enabled) { meteringEnabled_ = enabled; }
    bool isMeteringEnabled() const { return meteringEnabled_; }
    // Measures from now on. True when recording.
    bool record();
    void stop();
    bool isRecording() const { return recording_; }

    // Takes the level of the audio delivered since the previous refresh.
    void updateMeters();
    // Meters only the audio of one input queue (by default that of every queue).
    void setMeteredQueue(const void* queue);
    // The level of the last refresh in dBFS, -160 for silence, no audio, metering off or a
    // channel the recorder does not have.
    float averagePowerForChannel(std::size_t channelNumber) const;

    const std::filesystem::path& url() const { return url_; }
    const nlohmann::json& settings() const { return settings_; }

    AudioRecorder(std::filesystem::path url, nlohmann::json settings, std::size_t channels);

  private:
    const std::filesystem::path url_;
    const nlohmann::json settings_;
    const std::size_t channels_;
    std::shared_ptr<AudioLevelAccumulator> accumulator_;
    bool meteringEnabled_ = false;
    bool recording_ = false;
    float averagePower_;
};

}  // namespace varen::platform
