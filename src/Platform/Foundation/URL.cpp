#include "varenstt/Platform/URL.h"

#include <arpa/inet.h>

#include <cctype>

namespace varen {

namespace {

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool isUnreserved(char c) {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(char c) {
    switch (c) {
        case '!':
        case '$':
        case '&':
        case '\'':
        case '(':
        case ')':
        case '*':
        case '+':
        case ',':
        case ';':
        case '=':
            return true;
        default:
            return false;
    }
}

// True when every character is allowed by `allowed` or is part of a %XX escape.
template <typename Allowed>
bool isEncodedText(std::string_view text, Allowed allowed) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
            i += 2;
        } else if (!allowed(c)) {
            return false;
        }
    }
    return true;
}

bool isPathChar(char c) {
    return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@' || c == '/';
}
bool isQueryChar(char c) {
    return isPathChar(c) || c == '?';
}
bool isUserInfoChar(char c) {
    return isUnreserved(c) || isSubDelim(c) || c == ':';
}
bool isRegNameChar(char c) {
    return isUnreserved(c) || isSubDelim(c);
}

bool isValidScheme(std::string_view scheme) {
    if (scheme.empty() || !isAlpha(scheme.front())) return false;
    for (char c : scheme) {
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

bool isValidIPLiteral(const std::string& inside) {
    in6_addr address{};
    if (!inside.empty() && (inside.front() == 'v' || inside.front() == 'V')) return false;
    // A zone identifier ("%25eth0") is not part of the address itself.
    const std::string addressPart = inside.substr(0, inside.find('%'));
    return inet_pton(AF_INET6, addressPart.c_str(), &address) == 1;
}

// The parts of an authority ("user:password@host:port"), still percent-encoded.
struct Authority {
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::string host;
    bool ipLiteral = false;
    std::optional<std::uint32_t> port;
};

// Cuts "<separator>suffix" off the end of `rest`; no value when the separator is absent, an
// empty optional inside when the suffix is not valid query-like text.
std::optional<std::optional<std::string>> takeSuffix(std::string_view& rest, char separator) {
    const auto at = rest.find(separator);
    if (at == std::string_view::npos) return std::nullopt;
    const auto suffix = rest.substr(at + 1);
    rest = rest.substr(0, at);
    if (!isEncodedText(suffix, isQueryChar)) return std::optional<std::string>();
    return std::optional<std::string>(std::string(suffix));
}

std::optional<std::uint32_t> parsePort(std::string_view text) {
    std::uint32_t port = 0;
    for (char c : text) {
        if (!isDigit(c)) return std::nullopt;
        port = port * 10 + static_cast<std::uint32_t>(c - '0');
        if (port > 65535) return std::nullopt;
    }
    return port;
}

bool parseUserInfo(std::string_view userInfo, Authority& authority) {
    if (!isEncodedText(userInfo, isUserInfoChar)) return false;
    const auto separator = userInfo.find(':');
    authority.user = std::string(userInfo.substr(0, separator));
    if (separator != std::string_view::npos) {
        authority.password = std::string(userInfo.substr(separator + 1));
    }
    return true;
}

// "[literal]" or "[literal]:port"; sets the host and gives the port text.
std::optional<std::string_view> parseIPLiteralHost(std::string_view hostPort,
                                                   Authority& authority) {
    const auto close = hostPort.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    authority.host = std::string(hostPort.substr(1, close - 1));
    if (!isValidIPLiteral(authority.host)) return std::nullopt;
    authority.ipLiteral = true;
    const auto after = hostPort.substr(close + 1);
    if (after.empty()) return std::string_view();
    if (after.front() != ':') return std::nullopt;
    return after.substr(1);
}

// "name" or "name:port"; sets the host and gives the port text.
std::optional<std::string_view> parseRegNameHost(std::string_view hostPort, Authority& authority) {
    const auto portColon = hostPort.rfind(':');
    const auto host = hostPort.substr(0, portColon);
    if (!isEncodedText(host, isRegNameChar)) return std::nullopt;
    authority.host = std::string(host);
    if (portColon == std::string_view::npos) return std::string_view();
    return hostPort.substr(portColon + 1);
}

std::optional<Authority> parseAuthority(std::string_view text) {
    Authority authority;
    if (const auto at = text.rfind('@'); at != std::string_view::npos) {
        if (!parseUserInfo(text.substr(0, at), authority)) return std::nullopt;
        text = text.substr(at + 1);
    }
    const bool bracketed = !text.empty() && text.front() == '[';
    const auto portText =
        bracketed ? parseIPLiteralHost(text, authority) : parseRegNameHost(text, authority);
    if (!portText) return std::nullopt;
    if (!portText->empty()) {
        authority.port = parsePort(*portText);
        if (!authority.port) return std::nullopt;
    }
    return authority;
}

}  // namespace

std::optional<URL> URL::URLWithString(std::string_view text) {
    URL url;
    url.text_ = std::string(text);

    const auto colon = text.find(':');
    if (colon == std::string_view::npos || !isValidScheme(text.substr(0, colon)))
        return std::nullopt;
    url.scheme_ = std::string(text.substr(0, colon));
    std::string_view rest = text.substr(colon + 1);

    // The fragment goes first: a '?' inside it belongs to it, not to a query.
    if (auto fragment = takeSuffix(rest, '#')) {
        if (!*fragment) return std::nullopt;
        url.fragment_ = std::move(*fragment);
    }
    if (auto query = takeSuffix(rest, '?')) {
        if (!*query) return std::nullopt;
        url.query_ = std::move(*query);
    }

    if (rest.substr(0, 2) == "//") {
        rest = rest.substr(2);
        const auto slash = rest.find('/');
        const auto authority = parseAuthority(rest.substr(0, slash));
        if (!authority) return std::nullopt;
        url.user_ = authority->user;
        url.password_ = authority->password;
        url.host_ = authority->host;
        url.ipLiteral_ = authority->ipLiteral;
        url.port_ = authority->port;
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    } else if (rest.empty() && !url.query_ && !url.fragment_) {
        // "scheme:" alone names nothing.
        return std::nullopt;
    }

    if (!isEncodedText(rest, isPathChar)) return std::nullopt;
    url.path_ = std::string(rest);
    return url;
}

std::optional<std::string> URL::user() const {
    if (!user_) return std::nullopt;
    return percentDecode(*user_);
}

std::optional<std::string> URL::password() const {
    if (!password_) return std::nullopt;
    return percentDecode(*password_);
}

std::string percentEncodeUnreserved(std::string_view text) {
    static const char* const hex = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (char c : text) {
        if (isUnreserved(c)) {
            encoded += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0x0F];
        }
    }
    return encoded;
}

std::string percentDecode(std::string_view text) {
    auto value = [](char c) {
        if (isDigit(c)) return c - '0';
        return (std::tolower(static_cast<unsigned char>(c)) - 'a') + 10;
    };
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
            decoded += static_cast<char>(value(text[i + 1]) * 16 + value(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

}  // namespace varen
