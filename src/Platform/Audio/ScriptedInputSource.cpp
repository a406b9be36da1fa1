#include <algorithm>
#include <cstring>

#include "Platform/Audio/InputSource.h"

namespace varen::platform {

namespace {

// Hands out a fixed list of buffers, for tests: each after the script's interval.
class ScriptedInputSource final : public InputSource {
  public:
    explicit ScriptedInputSource(const AudioInputSource& description)
        : buffers_(description.buffers()), interval_(description.interval()) {}

    Fill fill(std::uint8_t* data, std::uint32_t capacity) override {
        if (index_ >= buffers_.size()) return Fill{.ended = true};
        if (interval_ > Clock::duration::zero() && !waitUntil(Clock::now() + interval_)) {
            return {};
        }
        const ScriptedAudioBuffer& buffer = buffers_[index_];
        Fill result{.delivered = true};
        if (buffer.packetCount) {
            result.byteCount = std::uint32_t(std::min<std::size_t>(buffer.bytes.size(), capacity));
            result.packetCount = *buffer.packetCount;
            if (result.byteCount > 0) std::memcpy(data, buffer.bytes.data(), result.byteCount);
            ++index_;
        } else {
            const std::size_t left = buffer.bytes.size() - offset_;
            const std::size_t wholePackets = left - left % kBytesPerPacket;
            const std::uint32_t usable = capacity - capacity % kBytesPerPacket;
            result.byteCount = std::uint32_t(std::min<std::size_t>(wholePackets, usable));
            result.packetCount = result.byteCount / kBytesPerPacket;
            if (result.byteCount > 0) {
                std::memcpy(data, buffer.bytes.data() + offset_, result.byteCount);
            }
            offset_ += result.byteCount;
            // A trailing odd byte cannot make a packet and is dropped with the rest.
            if (buffer.bytes.size() - offset_ < kBytesPerPacket || result.byteCount == 0) {
                ++index_;
                offset_ = 0;
            }
        }
        result.ended = index_ >= buffers_.size();
        return result;
    }

    Clock::duration playOutDelay(std::uint32_t) const override { return interval_; }

  private:
    static constexpr std::uint32_t kBytesPerPacket = 2;

    const std::vector<ScriptedAudioBuffer> buffers_;
    const Clock::duration interval_;
    std::size_t index_ = 0;
    std::size_t offset_ = 0;
};

}  // namespace

std::unique_ptr<InputSource> makeScriptedInputSource(const AudioInputSource& description) {
    return std::make_unique<ScriptedInputSource>(description);
}

}  // namespace varen::platform
