#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "varenstt/Platform/Data.h"
#include "varenstt/Platform/Error.h"
#include "varenstt/Platform/URL.h"

namespace varen {

// Base64 (RFC 4648, padded, no line breaks) of the SHA-1 digest of the bytes; 28 characters.
// `length` must fit in 32 bits.
std::string newSHA1String(const std::uint8_t* bytes, std::size_t length);
std::string stringBySHA1ThenBase64Encoding(const Data& data);
std::string stringBySHA1ThenBase64Encoding(std::string_view text);

std::string SRBase64Encode(const std::uint8_t* bytes, std::size_t length);
// Fills the buffer from the system's cryptographically secure generator; false when it could
// not deliver (the bytes are then unusable).
[[nodiscard]] bool SRSecureRandomBytes(std::uint8_t* bytes, std::size_t length);

// The failure of a socket whose generator could not give it a key.
Error SRRandomUnavailableError();

// Masking keys for one socket's frames, drawn from the secure generator a block at a time:
// a stream of small frames would otherwise pay a generator call per frame. Each key is used
// once. Not thread-safe; the socket's work queue owns it.
class SRMaskingKeys {
  public:
    // Fills a buffer; 0 on success, as platform::secureRandomCopyBytes.
    using Generator = int (*)(std::uint8_t* bytes, std::size_t length);
    SRMaskingKeys();
    explicit SRMaskingKeys(Generator generator) : generator_(generator) {}

    // None when the generator failed; no key is then handed out.
    std::optional<std::array<std::uint8_t, 4>> next();

  private:
    Generator generator_;
    std::array<std::uint8_t, 256> block_{};
    std::size_t used_ = sizeof block_;
};

// The Sec-WebSocket-Accept value a server must answer for the key (RFC 6455 §4.2.2).
std::string SRAcceptKeyForKey(std::string_view secWebSocketKey);

// The Origin of a URL: scheme (ws as http, wss as https) and host, plus the port unless it is
// absent or the scheme's default.
std::string SR_origin(const URL& url);

// The Host field: the host (bracketed when an IPv6 literal), with ":port" when the URL names one.
std::string SRHostField(const URL& url);

// ASCII case-insensitive comparison of header field names.
bool SRHeaderNameEquals(std::string_view a, std::string_view b);

}  // namespace varen
