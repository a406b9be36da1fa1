#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// The one audio format of a recognition run: what is captured, encoded, written to the
// recording file and announced to the server. Change it here or not at all; the server and
// earlier recordings expect exactly this.
namespace varen::audio {

// Signed 16-bit mono PCM at 8 kHz.
inline constexpr std::int32_t kSampleRate = 8000;
inline constexpr std::int32_t kChannels = 1;
inline constexpr std::int32_t kBitsPerSample = 16;
inline constexpr std::int32_t kBytesPerSample = kBitsPerSample / 8;

// Speex narrowband codes 20 ms frames, one per packet.
inline constexpr auto kFrameDuration = std::chrono::milliseconds(20);
inline constexpr std::int32_t kFramesPerSecond =
    static_cast<std::int32_t>(std::chrono::milliseconds(std::chrono::seconds(1)) / kFrameDuration);
inline constexpr std::int32_t kFrameSamples = kSampleRate / kFramesPerSecond;
inline constexpr std::size_t kFrameBytes =
    static_cast<std::size_t>(kFrameSamples * kChannels * kBytesPerSample);
inline constexpr std::int32_t kFramesPerPacket = 1;

// Speex mode 0 (narrowband) at encoder quality 8.
inline constexpr std::int32_t kSpeexMode = 0;
inline constexpr std::int32_t kSpeexQuality = 8;
// How the start command names this format to the server.
inline constexpr const char* kServerAudioType = "speex;nb;8";

static_assert(kFrameSamples == 160 && kFrameBytes == 320);

}  // namespace varen::audio
