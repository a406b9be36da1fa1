#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// The WebSocket protocol's numbers (RFC 6455) and the limits this client puts on its buffers,
// in one place. The error codes a socket reports are public: varenstt/SRWebSocketErrors.h.
namespace varen {

enum SROpCode : std::uint8_t {
    SROpCodeTextFrame = 0x1,
    SROpCodeBinaryFrame = 0x2,
    SROpCodeConnectionClose = 0x8,
    SROpCodePing = 0x9,
    SROpCodePong = 0xA,
};

enum SRStatusCode : std::int64_t {
    SRStatusCodeNormal = 1000,
    SRStatusCodeGoingAway = 1001,
    SRStatusCodeProtocolError = 1002,
    SRStatusNoStatusReceived = 1005,
    SRStatusCodeAbnormal = 1006,  // reported only, never sent (RFC 6455 §7.4.1)
    SRStatusCodeInvalidUTF8 = 1007,
    SRStatusCodeMessageTooBig = 1009,
};

// The protocol version the opening handshake asks for (RFC 6455 §4.1).
inline constexpr std::int64_t kSRProtocolVersion = 13;
inline constexpr std::uint32_t kSRDefaultPort = 80;
inline constexpr std::uint32_t kSRDefaultSecurePort = 443;

// Frame lengths (RFC 6455 §5.2): up to 125 in the header itself, else a length code saying
// that a 16-bit or a 64-bit length follows.
inline constexpr std::size_t kSRMaxControlPayload = 125;
inline constexpr std::uint8_t kSRLengthCode16 = 126;
inline constexpr std::uint8_t kSRLengthCode64 = 127;
inline constexpr std::size_t kSRMaxLength16 = 0xFFFF;
// What is left of a close frame's payload for its reason after the 2-byte code.
inline constexpr std::size_t kSRMaxCloseReasonBytes = kSRMaxControlPayload - 2;

// Defaults of the socket's settings.
inline constexpr std::uint64_t kSRDefaultMaximumMessageSize = 64ull << 20;
inline constexpr std::chrono::milliseconds kSRDefaultClosingHandshakeTimeout{10000};

// What the peer has sent that the delegate has not yet been handed (messages, pongs, pings):
// past either bound the socket stops reading, so TCP makes the peer wait.
inline constexpr std::size_t kSRMaxUndeliveredBytes = 16u << 20;
inline constexpr std::size_t kSRMaxUndeliveredItems = 10000;
// At most this much is read from the stream before it is parsed, and no more is read while
// this much waits unparsed.
inline constexpr std::size_t kSRMaxReadBurst = 64u << 10;
inline constexpr std::size_t kSRMaxUnparsed = 1u << 20;
// While this much output waits to be written, pings go unanswered.
inline constexpr std::size_t kSRMaxOutputForPongs = 1u << 20;
// The read and output buffers drop the bytes already handled once there are more of those than
// this and than of the rest, so neither grows for ever nor moves its bytes on every step.
inline constexpr std::size_t kSRBufferCompactionThreshold = 4096;

}  // namespace varen
