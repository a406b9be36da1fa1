#include "Platform/Audio/AudioLevelTap.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "Platform/Runtime.h"

namespace varen::platform {

namespace {

struct Observers {
    std::mutex mutex;
    std::vector<std::shared_ptr<AudioLevelAccumulator>> list;
};

Observers& observers() {
    static const char key = 0;
    return *Runtime::current()->shared<Observers>(&key,
                                                  [] { return std::make_shared<Observers>(); });
}

}  // namespace

float averagePowerInDecibels(double sumOfSquares, std::uint64_t sampleCount) {
    if (sampleCount == 0 || sumOfSquares <= 0) return kAudioLevelFloorDecibels;
    const double rms = std::sqrt(sumOfSquares / double(sampleCount));
    const double decibels = 20.0 * std::log10(rms / 32768.0);
    return float(std::max(decibels, double(kAudioLevelFloorDecibels)));
}

void AudioLevelAccumulator::setOrigin(const void* origin) {
    std::lock_guard lock(mutex_);
    origin_ = origin;
}

void AudioLevelAccumulator::add(double sumOfSquares, std::uint64_t sampleCount, const void* origin,
                                LevelClock::time_point heardAt) {
    std::lock_guard lock(mutex_);
    if (origin_ != nullptr && origin != origin_) return;
    if (heardAt > LevelClock::now()) {
        if (ahead_.size() == kMaxAhead) {
            sumOfSquares_ += ahead_.front().sumOfSquares;
            sampleCount_ += ahead_.front().sampleCount;
            ahead_.erase(ahead_.begin());
        }
        ahead_.push_back({heardAt, sumOfSquares, sampleCount});
        return;
    }
    sumOfSquares_ += sumOfSquares;
    sampleCount_ += sampleCount;
}

float AudioLevelAccumulator::take() {
    std::lock_guard lock(mutex_);
    const auto now = LevelClock::now();
    std::erase_if(ahead_, [&](const Ahead& audio) {
        if (audio.heardAt > now) return false;
        sumOfSquares_ += audio.sumOfSquares;
        sampleCount_ += audio.sampleCount;
        return true;
    });
    const float level = averagePowerInDecibels(sumOfSquares_, sampleCount_);
    sumOfSquares_ = 0;
    sampleCount_ = 0;
    return level;
}

void addAudioLevelObserver(const std::shared_ptr<AudioLevelAccumulator>& observer) {
    std::lock_guard lock(observers().mutex);
    observers().list.push_back(observer);
}

void removeAudioLevelObserver(const std::shared_ptr<AudioLevelAccumulator>& observer) {
    std::lock_guard lock(observers().mutex);
    auto& list = observers().list;
    list.erase(std::remove(list.begin(), list.end(), observer), list.end());
}

void publishInputLevel(const void* data, std::size_t byteCount, const void* origin,
                       LevelClock::time_point heardAt) {
    {
        std::lock_guard lock(observers().mutex);
        if (observers().list.empty()) return;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const std::size_t count = byteCount / sizeof(std::int16_t);
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t sample;
        std::memcpy(&sample, bytes + i * sizeof(sample), sizeof(sample));
        sum += double(sample) * double(sample);
    }
    std::lock_guard lock(observers().mutex);
    for (const auto& observer : observers().list) observer->add(sum, count, origin, heardAt);
}

}  // namespace varen::platform
