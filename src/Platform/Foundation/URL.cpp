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

}  // namespace

std::optional<URL> URL::URLWithString(std::string_view text) {
    URL url;
    url.text_ = std::string(text);

    const auto colon = text.find(':');
    if (colon == std::string_view::npos || !isValidScheme(text.substr(0, colon)))
        return std::nullopt;
    url.scheme_ = std::string(text.substr(0, colon));
    std::string_view rest = text.substr(colon + 1);

    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        const auto fragment = rest.substr(hash + 1);
        if (!isEncodedText(fragment, isQueryChar)) return std::nullopt;
        url.fragment_ = std::string(fragment);
        rest = rest.substr(0, hash);
    }
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        const auto query = rest.substr(question + 1);
        if (!isEncodedText(query, isQueryChar)) return std::nullopt;
        url.query_ = std::string(query);
        rest = rest.substr(0, question);
    }

    if (rest.substr(0, 2) == "//") {
        rest = rest.substr(2);
        const auto slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);

        if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
            const auto userInfo = authority.substr(0, at);
            if (!isEncodedText(userInfo, isUserInfoChar)) return std::nullopt;
            const auto separator = userInfo.find(':');
            url.user_ = std::string(userInfo.substr(0, separator));
            if (separator != std::string_view::npos) {
                url.password_ = std::string(userInfo.substr(separator + 1));
            }
            authority = authority.substr(at + 1);
        }

        std::string_view portText;
        if (!authority.empty() && authority.front() == '[') {
            const auto close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            url.host_ = std::string(authority.substr(1, close - 1));
            if (!isValidIPLiteral(url.host_)) return std::nullopt;
            url.ipLiteral_ = true;
            const auto after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':') return std::nullopt;
                portText = after.substr(1);
            }
        } else {
            const auto portColon = authority.rfind(':');
            const auto host = authority.substr(0, portColon);
            if (!isEncodedText(host, isRegNameChar)) return std::nullopt;
            url.host_ = std::string(host);
            if (portColon != std::string_view::npos) portText = authority.substr(portColon + 1);
        }
        if (!portText.empty()) {
            std::uint32_t port = 0;
            for (char c : portText) {
                if (!isDigit(c)) return std::nullopt;
                port = port * 10 + static_cast<std::uint32_t>(c - '0');
                if (port > 65535) return std::nullopt;
            }
            url.port_ = port;
        }
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
