#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "WebSocket/SRProtocolConstants.h"
#include "varenstt/Platform/Data.h"

namespace varen {

inline bool SRIsControlOpCode(std::uint8_t opcode) {
    return opcode == SROpCodeConnectionClose || opcode == SROpCodePing || opcode == SROpCodePong;
}

// XORs `length` bytes of `src` into `dst` with the 4-byte key, starting at key byte
// `keyOffset % 4` (RFC 6455 §5.3). `dst` may equal `src`.
void SRMaskBytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t length,
                 const std::array<std::uint8_t, 4>& key, std::uint64_t keyOffset = 0);

// One client frame (RFC 6455 §5.2): FIN set, MASK set with the given key, the payload masked.
Data SRBuildFrame(std::uint8_t opcode, const std::uint8_t* payload, std::size_t length,
                  const std::array<std::uint8_t, 4>& key);

// The first two bytes of a frame header.
struct SRFrameHeaderStart {
    bool fin = false;
    bool rsv = false;  // any of RSV1-3 set
    std::uint8_t opcode = 0;
    bool masked = false;
    std::uint8_t lengthCode = 0;  // 0-125, or 126 / 127 for an extended length
    // Bytes that follow before the payload: extended length, then the masking key.
    std::size_t extraBytes() const {
        return (masked ? 4 : 0) + (lengthCode == kSRLengthCode64   ? 8
                                   : lengthCode == kSRLengthCode16 ? 2
                                                                   : 0);
    }
};
SRFrameHeaderStart SRParseFrameHeaderStart(std::uint8_t b0, std::uint8_t b1);

// The payload length and masking key from the extended header bytes (`extraBytes()` of them).
struct SRFrameHeaderRest {
    std::uint64_t payloadLength = 0;
    std::array<std::uint8_t, 4> maskKey{};
};
SRFrameHeaderRest SRParseFrameHeaderRest(const SRFrameHeaderStart& start,
                                         const std::uint8_t* extra);

// Close codes a peer may send (RFC 6455 §7.4): 1000-1003, 1007-1011, 3000-4999.
bool SRIsAcceptableCloseCode(std::uint32_t code);

// The payload of a close frame we send: the code's low 16 bits, big-endian, then the reason.
// The reason is cut to its longest well-formed UTF-8 prefix of at most 123 bytes so that the
// frame stays within the 125-byte control-frame limit.
Data SRClosePayload(std::int64_t code, const std::optional<std::string>& reason);

// The longest prefix of `text` of at most `maxBytes` bytes that is well-formed UTF-8.
std::string_view SRTruncateUTF8(std::string_view text, std::size_t maxBytes);

}  // namespace varen
