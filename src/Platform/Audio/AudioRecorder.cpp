#include "Platform/Audio/AudioRecorder.h"

#include <optional>
#include <utility>

#include "Platform/Audio/AudioLevelTap.h"
#include "Platform/Audio/AudioQueue.h"

namespace varen::platform {

namespace {

Error invalid(const std::string& text) {
    return Error::withDescription(NSOSStatusErrorDomain, kAudioQueueErr_InvalidParameter, text);
}

// The error of a present key holding an unusable value; none for a usable or missing one.
std::optional<Error> badNumber(const nlohmann::json& settings, const char* key, double low,
                               double high) {
    const auto it = settings.find(key);
    if (it == settings.end()) return std::nullopt;
    if (!it->is_number()) return invalid(std::string(key) + " is not a number");
    const double value = it->get<double>();
    if (!(value >= low && value <= high)) return invalid(std::string(key) + " is out of range");
    return std::nullopt;
}

// The first unusable setting of the map.
std::optional<Error> settingsProblem(const nlohmann::json& map) {
    if (auto error = badNumber(map, AVSampleRateKey, 1, 768000)) return error;
    if (auto error = badNumber(map, AVFormatIDKey, 0, 4294967295.0)) return error;
    if (auto error = badNumber(map, AVNumberOfChannelsKey, 1, 64)) return error;
    return badNumber(map, AVEncoderAudioQualityKey, AVAudioQualityMin, AVAudioQualityMax);
}

std::shared_ptr<AudioRecorder> failed(Error error, Error* outError) {
    if (outError) *outError = std::move(error);
    return nullptr;
}

}  // namespace

std::shared_ptr<AudioRecorder> AudioRecorder::initWithURLSettingsError(
    const std::filesystem::path& url, const nlohmann::json& settings, Error* outError) {
    if (url.empty()) return failed(invalid("the recorder needs a URL"), outError);
    if (!settings.is_object() && !settings.is_null()) {
        return failed(invalid("the recorder settings are not a map"), outError);
    }
    const nlohmann::json map = settings.is_null() ? nlohmann::json::object() : settings;
    if (auto error = settingsProblem(map)) return failed(std::move(*error), outError);
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

void AudioRecorder::setMeteredQueue(const void* queue) {
    accumulator_->setOrigin(queue);
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
