#include "Managers/SpeexManagers/SpeexCodec.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace varen {

namespace {
constexpr int kScratchFrameSamples = 640;  // room for any frame size the library reports
}

SpeexCodec::~SpeexCodec() {
    close();
}

void SpeexCodec::open(std::int32_t quality) {
    if (static_cast<std::uint32_t>(quality - 1) > 9) return;
    if (codecOpenedTimes_++ != 0) return;

    speex_bits_init(&encodeSpeexBits_);
    speex_bits_init(&decodeSpeexBits_);
    encodeState_ = speex_encoder_init(&speex_nb_mode);
    decodeState_ = speex_decoder_init(&speex_nb_mode);
    speex_encoder_ctl(encodeState_, SPEEX_SET_QUALITY, &quality);
    speex_encoder_ctl(encodeState_, SPEEX_GET_FRAME_SIZE, &encodeFrameSize_);
    speex_decoder_ctl(decodeState_, SPEEX_GET_FRAME_SIZE, &decodeFrameSize_);
}

std::optional<Data> SpeexCodec::encode(const std::int16_t* samples, std::int32_t length) {
    if (codecOpenedTimes_ <= 0) return std::nullopt;

    Data result;
    result.reserve(20);
    const auto frames = static_cast<std::int32_t>(
        std::ceil(static_cast<float>(length) / static_cast<float>(encodeFrameSize_)));
    if (frames <= 0 || encodeFrameSize_ <= 0 || encodeFrameSize_ > kScratchFrameSamples) {
        return result;
    }

    spx_int16_t frame[kScratchFrameSamples];
    char packet[kMaxPacketBytes];
    const auto maxBytes = std::min(encodeFrameSize_, kMaxPacketBytes);
    for (std::int32_t index = 0; index < frames; ++index) {
        // Never read past the caller's samples: a short last frame is padded with silence.
        const std::int64_t offset = static_cast<std::int64_t>(index) * encodeFrameSize_;
        const auto available =
            static_cast<std::int32_t>(std::min<std::int64_t>(encodeFrameSize_, length - offset));
        std::memcpy(frame, samples + offset, sizeof(spx_int16_t) * available);
        std::fill(frame + available, frame + encodeFrameSize_, spx_int16_t{0});

        // A fresh bit buffer per frame, so each frame's packet stands on its own.
        speex_bits_reset(&encodeSpeexBits_);
        speex_encode_int(encodeState_, frame, &encodeSpeexBits_);
        const int written = speex_bits_write(&encodeSpeexBits_, packet, maxBytes);
        if (written > 0) result.insert(result.end(), packet, packet + written);
    }
    return result;
}

std::int32_t SpeexCodec::decode(const std::uint8_t* bytes, std::int32_t length,
                                std::int16_t* output) {
    if (codecOpenedTimes_ <= 0) return 0;
    // The scratch holds kMaxPacketBytes; a longer packet is refused rather than overrun it.
    if (length < 0 || length > kMaxPacketBytes) return 0;

    char scratch[kMaxPacketBytes];
    if (length > 0) std::memcpy(scratch, bytes, static_cast<std::size_t>(length));
    speex_bits_read_from(&decodeSpeexBits_, scratch, length);
    speex_decode_int(decodeState_, &decodeSpeexBits_, output);
    return decodeFrameSize_;
}

void SpeexCodec::close() {
    if (--codecOpenedTimes_ != 0) return;
    speex_bits_destroy(&encodeSpeexBits_);
    speex_bits_destroy(&decodeSpeexBits_);
    speex_encoder_destroy(encodeState_);
    speex_decoder_destroy(decodeState_);
    encodeState_ = nullptr;
    decodeState_ = nullptr;
}

}  // namespace varen
