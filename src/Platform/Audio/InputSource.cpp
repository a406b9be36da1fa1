#include "Platform/Audio/InputSource.h"

#include "Platform/Audio/AudioLevelTap.h"

#include <cstring>
#include <utility>

namespace varen::platform {

namespace {

std::mutex& defaultSourceMutex() {
    static std::mutex mutex;
    return mutex;
}

AudioInputSource& defaultSourceLocked() {
    static AudioInputSource source = AudioInputSource::defaultDevice();
    return source;
}

}  // namespace

ScriptedAudioBuffer ScriptedAudioBuffer::pcm(const std::vector<std::int16_t>& samples) {
    ScriptedAudioBuffer buffer;
    buffer.bytes.resize(samples.size() * sizeof(std::int16_t));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::memcpy(buffer.bytes.data() + i * sizeof(std::int16_t), &samples[i],
                    sizeof(std::int16_t));
    }
    return buffer;
}

ScriptedAudioBuffer ScriptedAudioBuffer::zeroPackets(std::uint32_t byteCount) {
    return ScriptedAudioBuffer{Data(byteCount, 0), 0u};
}

AudioInputSource AudioInputSource::defaultDevice() {
    return AudioInputSource{};
}

AudioInputSource AudioInputSource::file(std::filesystem::path path, double speed) {
    AudioInputSource source;
    source.kind_ = Kind::file;
    source.path_ = std::move(path);
    source.speed_ = speed;
    return source;
}

AudioInputSource AudioInputSource::pushed(std::shared_ptr<PushedAudio> feed) {
    AudioInputSource source;
    source.kind_ = Kind::pushed;
    source.feed_ = std::move(feed);
    return source;
}

AudioInputSource AudioInputSource::scripted(std::vector<ScriptedAudioBuffer> buffers,
                                            std::chrono::steady_clock::duration interval) {
    AudioInputSource source;
    source.kind_ = Kind::scripted;
    source.buffers_ = std::move(buffers);
    source.interval_ = interval;
    return source;
}

void setDefaultAudioInputSource(AudioInputSource source) {
    std::lock_guard lock(defaultSourceMutex());
    defaultSourceLocked() = std::move(source);
}

AudioInputSource defaultAudioInputSource() {
    std::lock_guard lock(defaultSourceMutex());
    return defaultSourceLocked();
}

Result<void, AudioFailure> InputSource::start() {
    std::lock_guard lock(mutex_);
    stopped_ = false;
    return {};
}

void InputSource::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    wake_.notify_all();
}

void InputSource::publishLevel(const void* data, std::size_t byteCount,
                               Clock::time_point heardAt) const {
    publishInputLevel(data, byteCount, levelOrigin_.load(), heardAt);
}

bool InputSource::waitUntil(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_until(lock, deadline, [&] { return stopped_; });
}

MadeInputSource makeInputSource(const AudioInputSource& description, std::uint32_t sampleRate) {
    switch (description.kind()) {
        case AudioInputSource::Kind::scripted:
            return makeScriptedInputSource(description);
        case AudioInputSource::Kind::file:
            return makeFileInputSource(description, sampleRate);
        case AudioInputSource::Kind::defaultDevice:
            return makeDeviceInputSource(sampleRate);
        case AudioInputSource::Kind::pushed:
            return makePushedInputSource(description, sampleRate);
    }
    return AudioFailure{kAudioQueueErr_InvalidParameter, "unknown input source"};
}

}  // namespace varen::platform
