#include "WebSocket/SRFraming.h"

#include <cassert>
#include <cstring>

#include "WebSocket/SRUTF8.h"

namespace varen {

void SRMaskBytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t length,
                 const std::array<std::uint8_t, 4>& key, std::uint64_t keyOffset) {
    std::size_t i = 0;
    std::size_t k = static_cast<std::size_t>(keyOffset % 4);
    // Bring the key into phase, then work a machine word at a time.
    std::uint8_t rotated[8];
    for (std::size_t j = 0; j < 8; ++j) rotated[j] = key[(k + j) % 4];
    std::uint64_t word;
    std::memcpy(&word, rotated, 8);
    for (; i + 8 <= length; i += 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, src + i, 8);
        chunk ^= word;
        std::memcpy(dst + i, &chunk, 8);
    }
    for (; i < length; ++i) dst[i] = src[i] ^ key[(k + i) % 4];
}

Data SRBuildFrame(std::uint8_t opcode, const std::uint8_t* payload, std::size_t length,
                  const std::array<std::uint8_t, 4>& key) {
    Data frame(length + 14);
    frame[0] = 0x80 | opcode;
    frame[1] = 0x80;
    std::size_t header = 2;
    if (length <= kSRMaxControlPayload) {
        frame[1] |= static_cast<std::uint8_t>(length);
    } else if (length <= kSRMaxLength16) {
        frame[1] |= kSRLengthCode16;
        frame[2] = static_cast<std::uint8_t>(length >> 8);
        frame[3] = static_cast<std::uint8_t>(length);
        header = 4;
    } else {
        frame[1] |= kSRLengthCode64;
        const std::uint64_t n = length;
        for (int i = 0; i < 8; ++i) frame[2 + i] = static_cast<std::uint8_t>(n >> (56 - 8 * i));
        header = 10;
    }
    std::memcpy(frame.data() + header, key.data(), 4);
    if (length > 0) SRMaskBytes(frame.data() + header + 4, payload, length, key);
    const std::size_t total = header + 4 + length;
    assert(total <= frame.size() && "frame_buffer_size <= [frame length]");
    frame.resize(total);
    return frame;
}

SRFrameHeaderStart SRParseFrameHeaderStart(std::uint8_t b0, std::uint8_t b1) {
    SRFrameHeaderStart h;
    h.fin = (b0 & 0x80) != 0;
    h.rsv = (b0 & 0x70) != 0;
    h.opcode = b0 & 0x0F;
    h.masked = (b1 & 0x80) != 0;
    h.lengthCode = b1 & 0x7F;
    return h;
}

SRFrameHeaderRest SRParseFrameHeaderRest(const SRFrameHeaderStart& start,
                                         const std::uint8_t* extra) {
    SRFrameHeaderRest rest;
    std::size_t keyAt = 0;
    if (start.lengthCode == kSRLengthCode64) {
        for (int i = 0; i < 8; ++i) rest.payloadLength = (rest.payloadLength << 8) | extra[i];
        keyAt = 8;
    } else if (start.lengthCode == kSRLengthCode16) {
        rest.payloadLength = (std::uint64_t{extra[0]} << 8) | extra[1];
        keyAt = 2;
    } else {
        rest.payloadLength = start.lengthCode;
    }
    if (start.masked) std::memcpy(rest.maskKey.data(), extra + keyAt, 4);
    return rest;
}

bool SRIsAcceptableCloseCode(std::uint32_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) ||
           (code >= 3000 && code <= 4999);
}

std::string_view SRTruncateUTF8(std::string_view text, std::size_t maxBytes) {
    std::size_t n = text.size() < maxBytes ? text.size() : maxBytes;
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    // The valid prefix ends on a character boundary; nothing past a broken sequence is kept.
    while (n > 0 && !SRIsValidUTF8(p, n)) --n;
    return text.substr(0, n);
}

Data SRClosePayload(std::int64_t code, const std::optional<std::string>& reason) {
    const auto low = static_cast<std::uint16_t>(code & 0xFFFF);
    Data payload{static_cast<std::uint8_t>(low >> 8), static_cast<std::uint8_t>(low)};
    if (reason) {
        const std::string_view cut = SRTruncateUTF8(*reason, kSRMaxCloseReasonBytes);
        payload.insert(payload.end(), cut.begin(), cut.end());
    }
    return payload;
}

}  // namespace varen
