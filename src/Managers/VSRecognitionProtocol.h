#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// The recognition service protocol as the stream client speaks it: the server's status values
// and the limits the client puts on what it keeps and parses.
namespace varen::recognition {

// Values of a server message's "status" member; a message without one is a result.
inline constexpr const char* kStatusReady = "ready";
inline constexpr const char* kStatusError = "error";
inline constexpr const char* kStatusBusy = "busy";
inline constexpr const char* kStatusConnectionTimeout = "connection timeout";

// Audio captured while the connection is being made is kept for at most this long.
inline constexpr std::chrono::seconds kMaxEarlyAudio{60};
// A run that may resume keeps this much of its audio to replay on a new connection.
inline constexpr std::chrono::seconds kMaxReplayAudio{600};

// Values of a server message are copied and destroyed recursively, so its nesting is bounded
// before it is parsed; a deeper message counts as unparsable.
inline constexpr std::size_t kMaxMessageDepth = 64;
// A longer transcript or error text makes its message a protocol failure of the server.
inline constexpr std::size_t kMaxMessageText = 1u << 20;
// A server's answers are a few kilobytes; a larger message closes the connection ("Message too
// big") rather than being held and parsed.
inline constexpr std::uint64_t kMaxServerMessage = 8u << 20;

}  // namespace varen::recognition
