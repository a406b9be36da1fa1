#pragma once

#include <speex/speex.h>
#include <speex/speex_bits.h>

#include <cstdint>
#include <optional>

#include "varenstt/Platform/Data.h"

namespace varen {

// One Speex narrowband encoder and decoder, each with its own bit buffer.
//
// The codec exists while the open counter is above 0: the first `open` with a quality of 1...10
// builds it, every further `open` only counts, and the `close` that brings the counter back to
// exactly 0 tears it down. The destructor issues one more `close`, so an instance is meant for one
// recording: open once, close once, release.
//
// Thread safety: none. An instance is created, used and closed on one thread.
class SpeexCodec {
  public:
    // Largest packet `decode` accepts, the size of its scratch buffer.
    static constexpr std::int32_t kMaxPacketBytes = 200;

    SpeexCodec() = default;
    ~SpeexCodec();
    SpeexCodec(const SpeexCodec&) = delete;
    SpeexCodec& operator=(const SpeexCodec&) = delete;

    // Opens the codec at quality 1...10; other values leave everything unchanged. An instance that
    // is already open keeps its first quality.
    void open(std::int32_t quality);

    // Encodes `length` samples, ceil(length / encodeFrameSize) frames, into the packets of those
    // frames one after another (38 bytes each at quality 8). A partial last frame is completed
    // with silence. Gives none while the codec is closed, an empty buffer for no samples.
    std::optional<Data> encode(const std::int16_t* samples, std::int32_t length);

    // Decodes one packet into `output`, which holds at least decodeFrameSize samples, and gives
    // the number of samples written. Gives 0 and leaves `output` untouched while the codec is
    // closed or when the packet is longer than kMaxPacketBytes (or its length negative).
    std::int32_t decode(const std::uint8_t* bytes, std::int32_t length, std::int16_t* output);

    // Releases one opening; the last one tears the codec down.
    void close();

    std::int32_t codecOpenedTimes() const { return codecOpenedTimes_; }
    std::int32_t encodeFrameSize() const { return encodeFrameSize_; }
    std::int32_t decodeFrameSize() const { return decodeFrameSize_; }

  private:
    std::int32_t codecOpenedTimes_ = 0;
    std::int32_t encodeFrameSize_ = 0;
    std::int32_t decodeFrameSize_ = 0;
    SpeexBits encodeSpeexBits_{};
    SpeexBits decodeSpeexBits_{};
    void* encodeState_ = nullptr;
    void* decodeState_ = nullptr;
};

}  // namespace varen
