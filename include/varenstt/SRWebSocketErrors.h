#pragma once

#include <cstdint>

namespace varen {

// The codes of the errors a socket reports through `webSocketDidFailWithError`. Each error
// carries its text under NSLocalizedDescriptionKey. The domain strings are declared in
// SRWebSocket.h; errors of the byte streams themselves reach the delegate unchanged.

// Codes in SRWebSocketErrorDomain.
enum SRWebSocketErrorCode : std::int64_t {
    // The handshake answer had a status of 400 or more ("received bad response code from
    // server %ld"); the status is under SRHTTPResponseErrorKey.
    SRWebSocketErrorBadResponseCode = 2132,
    // The handshake answer's accept key or subprotocol was wrong.
    SRWebSocketErrorInvalidHandshake = 2133,
    // The output stream refused a write ("Error writing to stream").
    SRWebSocketErrorWriteFailed = 2145,
    // The secure random generator could not provide a handshake or masking key ("Could not
    // draw random bytes for a key"); nothing predictable is ever sent instead.
    SRWebSocketErrorRandomUnavailable = 2146,
    // Keep-alive: nothing came back within the ping interval after a ping ("No pong from the
    // server").
    SRWebSocketErrorNoPong = 2150,
    // The proxy was unusable, unreachable, refused (status: SRHTTPResponseErrorKey) or broke.
    SRWebSocketErrorProxyFailed = 2151,
};

// Code in SRWebSocketTimeoutErrorDomain: still connecting when the open timeout ran out
// ("Timeout Connecting to Server").
inline constexpr std::int64_t SRWebSocketTimeoutErrorCode = 504;

// Code in SRWebSocketPinningErrorDomain: no certificate of the server's chain is a pinned one
// ("Invalid server cert").
inline constexpr std::int64_t SRWebSocketPinningErrorCode = 23556;

}  // namespace varen
