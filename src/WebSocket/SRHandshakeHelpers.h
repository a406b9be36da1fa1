#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "varenstt/Platform/Data.h"
#include "varenstt/Platform/URL.h"

namespace varen {

// Base64 (RFC 4648, padded, no line breaks) of the SHA-1 digest of the bytes; 28 characters.
// `length` must fit in 32 bits.
std::string newSHA1String(const std::uint8_t* bytes, std::size_t length);
std::string stringBySHA1ThenBase64Encoding(const Data& data);
std::string stringBySHA1ThenBase64Encoding(std::string_view text);

std::string SRBase64Encode(const std::uint8_t* bytes, std::size_t length);
// Fills the buffer from the system's cryptographically secure generator.
void SRSecureRandomBytes(std::uint8_t* bytes, std::size_t length);

// The Sec-WebSocket-Accept value a server must answer for the key (RFC 6455 §4.2.2).
std::string SRAcceptKeyForKey(std::string_view secWebSocketKey);

// The Origin of a URL: scheme (ws as http, wss as https) and host, plus the port unless it is
// absent or the scheme's default.
std::string SR_origin(const URL& url);

// The Host field: the host (bracketed when an IPv6 literal), with ":port" when the URL names one.
std::string SRHostField(const URL& url);

// The resource name of RFC 6455 §4.1: the path ("/" when empty), then "?query" when present.
std::string SRResourceName(const URL& url);

// Header fields with "set" semantics: setting a name again (any letter case) replaces its value.
class SRHeaderFields {
  public:
    void set(const std::string& name, const std::string& value);
    const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

  private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

// An HTTP/1.1 GET request head for the resource with the fields, ending in an empty line.
std::string SRSerializeGETRequest(const std::string& resourceName, const SRHeaderFields& fields);

bool SRHeaderNameEquals(std::string_view a, std::string_view b);

}  // namespace varen

#include <optional>
#include "varenstt/SRURLRequest.h"

namespace varen {
// Parses a response head (status line and fields, through the empty line). A status line that
// does not parse gives status 0.
SRHTTPResponse SRParseHTTPResponseHead(std::string_view head);
}  // namespace varen
