#include "WebSocket/SRHandshakeHelpers.h"

#include "Platform/Security/Security.h"
#include "WebSocket/SRProtocolConstants.h"
#include "varenstt/SRWebSocket.h"

#include <cassert>
#include <cctype>
#include <cstring>

namespace varen {

std::string SRBase64Encode(const std::uint8_t* bytes, std::size_t length) {
    return platform::base64Encode(bytes, length);
}

bool SRSecureRandomBytes(std::uint8_t* bytes, std::size_t length) {
    return platform::secureRandomCopyBytes(bytes, length) == 0;
}

Error SRRandomUnavailableError() {
    return Error::withDescription(SRWebSocketErrorDomain, SRWebSocketErrorRandomUnavailable,
                                  "Could not draw random bytes for a key");
}

SRMaskingKeys::SRMaskingKeys() : generator_(platform::secureRandomCopyBytes) {}

std::optional<std::array<std::uint8_t, 4>> SRMaskingKeys::next() {
    if (used_ == block_.size()) {
        if (generator_(block_.data(), block_.size()) != 0) return std::nullopt;
        used_ = 0;
    }
    std::array<std::uint8_t, 4> key;
    std::memcpy(key.data(), block_.data() + used_, key.size());
    // Wiped once taken, so no key stays readable in memory after its frame.
    std::memset(block_.data() + used_, 0, key.size());
    used_ += key.size();
    return key;
}

std::string newSHA1String(const std::uint8_t* bytes, std::size_t length) {
    assert(length <= 0xFFFFFFFFull);
    const auto digest = platform::sha1(bytes, length);
    return platform::base64Encode(digest.data(), digest.size());
}

std::string stringBySHA1ThenBase64Encoding(const Data& data) {
    return newSHA1String(data.data(), data.size());
}

std::string stringBySHA1ThenBase64Encoding(std::string_view text) {
    return newSHA1String(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string SRAcceptKeyForKey(std::string_view secWebSocketKey) {
    std::string joined(secWebSocketKey);
    joined += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    return stringBySHA1ThenBase64Encoding(std::string_view(joined));
}

namespace {
std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
std::string hostForField(const URL& url) {
    // Appended piecewise: g++ 12 at -O3 misreads `"[" + host` as an overlapping copy.
    std::string host;
    if (url.hostIsIPLiteral()) host += '[';
    host += url.host();
    if (url.hostIsIPLiteral()) host += ']';
    return host;
}
}  // namespace

std::string SR_origin(const URL& url) {
    std::string scheme = lower(url.scheme());
    if (scheme == "wss") scheme = "https";
    if (scheme == "ws") scheme = "http";
    const auto port = url.port();
    const bool defaultPort = !port || (scheme == "http" && *port == kSRDefaultPort) ||
                             (scheme == "https" && *port == kSRDefaultSecurePort);
    std::string origin = scheme;
    origin += "://";
    origin += hostForField(url);
    if (!defaultPort) {
        origin += ':';
        origin += std::to_string(*port);
    }
    return origin;
}

std::string SRHostField(const URL& url) {
    std::string host = hostForField(url);
    if (url.port()) {
        host += ':';
        host += std::to_string(*url.port());
    }
    return host;
}

bool SRHeaderNameEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace varen
