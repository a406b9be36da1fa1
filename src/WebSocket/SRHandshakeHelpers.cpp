#include "WebSocket/SRHandshakeHelpers.h"

#include "Platform/Security/Security.h"

#include <cassert>
#include <cctype>

namespace varen {

std::string SRBase64Encode(const std::uint8_t* bytes, std::size_t length) {
    return platform::base64Encode(bytes, length);
}

void SRSecureRandomBytes(std::uint8_t* bytes, std::size_t length) {
    // The generator's result is not examined, as for the platform generator it stands in for.
    (void)platform::secureRandomCopyBytes(bytes, length);
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
    return url.hostIsIPLiteral() ? "[" + url.host() + "]" : url.host();
}
}  // namespace

std::string SR_origin(const URL& url) {
    std::string scheme = lower(url.scheme());
    if (scheme == "wss") scheme = "https";
    if (scheme == "ws") scheme = "http";
    const auto port = url.port();
    const bool defaultPort =
        !port || (scheme == "http" && *port == 80) || (scheme == "https" && *port == 443);
    std::string origin = scheme + "://" + hostForField(url);
    if (!defaultPort) origin += ":" + std::to_string(*port);
    return origin;
}

std::string SRHostField(const URL& url) {
    std::string host = hostForField(url);
    if (url.port()) host += ":" + std::to_string(*url.port());
    return host;
}

std::string SRResourceName(const URL& url) {
    std::string resource = url.path().empty() ? "/" : url.path();
    if (url.query()) resource += "?" + *url.query();
    return resource;
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

void SRHeaderFields::set(const std::string& name, const std::string& value) {
    for (auto& field : fields_) {
        if (SRHeaderNameEquals(field.first, name)) {
            field.second = value;
            return;
        }
    }
    fields_.emplace_back(name, value);
}

std::string SRSerializeGETRequest(const std::string& resourceName, const SRHeaderFields& fields) {
    std::string out = "GET " + resourceName + " HTTP/1.1\r\n";
    for (const auto& [name, value] : fields.fields()) {
        // A field may not smuggle extra lines into the request.
        if (name.find_first_of("\r\n:") != std::string::npos ||
            value.find_first_of("\r\n") != std::string::npos)
            continue;
        out += name + ": " + value + "\r\n";
    }
    out += "\r\n";
    return out;
}

}  // namespace varen

namespace varen {

SRHTTPResponse SRParseHTTPResponseHead(std::string_view head) {
    SRHTTPResponse response;
    std::size_t pos = 0;
    auto nextLine = [&](std::string_view& line) {
        const std::size_t end = head.find("\r\n", pos);
        if (end == std::string_view::npos) return false;
        line = head.substr(pos, end - pos);
        pos = end + 2;
        return true;
    };
    std::string_view line;
    if (!nextLine(line)) return response;
    if (line.size() >= 12 && line.substr(0, 7) == "HTTP/1." && line[8] == ' ' &&
        std::isdigit(static_cast<unsigned char>(line[9])) &&
        std::isdigit(static_cast<unsigned char>(line[10])) &&
        std::isdigit(static_cast<unsigned char>(line[11])) &&
        (line.size() == 12 || line[12] == ' ')) {
        response.statusCode = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    }
    auto trim = [](std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
        return s;
    };
    while (nextLine(line) && !line.empty()) {
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) continue;
        response.headerFields.emplace_back(std::string(trim(line.substr(0, colon))),
                                           std::string(trim(line.substr(colon + 1))));
    }
    return response;
}

}  // namespace varen
