#include "Platform/Audio/AudioRecorder.h"

#include <utility>

#include "Platform/Audio/AudioLevelTap.h"
#include "Platform/Audio/AudioQueue.h"

namespace varen::platform {

namespace {

bool invalid(const std::string& text, Error* outError) {
    if (outError) {
        *outError =
            Error::withDescription(NSOSStatusErrorDomain, kAudioQueueErr_InvalidParameter, text);
    }
    return true;
}

// True (with the error set) when a present key holds an unusable value.
bool badNumber(const nlohmann::json& settings, const char* key, double low, double high,
               Error* outError) {
    const auto it = settings.find(key);
    if (it == settings.end()) return false;
    if (!it->is_number()) return invalid(std::string(key) + " is not a number", outError);
    const double value = it->get<double>();
    if (!(value >= low && value <= high)) {
        return invalid(std::string(key) + " is out of range", outError);
    }
    return false;
}

}  // namespace

std::shared_ptr<AudioRecorder> AudioRecorder::initWithURLSettingsError(
    const std::filesystem::path& url, const nlohmann::json& settings, Error* outError) {
    if (url.empty()) {
        invalid("the recorder needs a URL", outError);
        return nullptr;
    }
    if (!settings.is_object() && !settings.is_null()) {
        invalid("the recorder settings are not a map", outError);
        return nullptr;
    }
    const nlohmann::json map = settings.is_null() ? nlohmann::json::object() : settings;
    if (badNumber(map, AVSampleRateKey, 1, 768000, outError) ||
        badNumber(map, AVFormatIDKey, 0, 4294967295.0, outError) ||
        badNumber(map, AVNumberOfChannelsKey, 1, 64, outError) ||
        badNumber(map, AVEncoderAudioQualityKey, AVAudioQualityMin, AVAudioQualityMax, outError)) {
        return nullptr;
    }
    const std::size_t channels = std::size_t(map.value(AVNumberOfChannelsKey, 1.0));
    return std::make_shared<AudioRecorder>(url, map, channels);
}

AudioRecorder::AudioRecorder(std::filesystem::path url, nlohmann::json settings,
                             std::size_t channels)
    : url_(std::move(url)),
      settings_(std::move(settings)),
      channels_(channels),
      accumulator_(std::make_shared<AudioLevelAccumulator>()),
      averagePower_(kAudioLevelFloorDecibels) {}

AudioRecorder::~AudioRecorder() {
    stop();
}

bool AudioRecorder::prepareToRecord() {
    return true;
}

bool AudioRecorder::record() {
    if (!recording_) {
        accumulator_->take();
        addAudioLevelObserver(accumulator_);
        recording_ = true;
    }
    return true;
}

void AudioRecorder::stop() {
    if (!recording_) return;
    removeAudioLevelObserver(accumulator_);
    recording_ = false;
}

void AudioRecorder::updateMeters() {
    const float level = accumulator_->take();
    averagePower_ = meteringEnabled_ ? level : kAudioLevelFloorDecibels;
}

float AudioRecorder::averagePowerForChannel(std::size_t channelNumber) const {
    // Capture is mono: every channel of the recorder meters the one input channel.
    if (channelNumber >= channels_) return kAudioLevelFloorDecibels;
    return averagePower_;
}

}  // namespace varen::platform
