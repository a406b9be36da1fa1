#include "LogText.h"

#include <cstdio>

namespace varen::server {

namespace {

std::string hexEscape(const char* format, unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

bool isC0OrDelete(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

bool isC1(std::string_view text, std::size_t at) {
    return static_cast<unsigned char>(text[at]) == 0xc2 && at + 1 < text.size() &&
           static_cast<unsigned char>(text[at + 1]) >= 0x80 &&
           static_cast<unsigned char>(text[at + 1]) <= 0x9f;
}

std::string escapeOf(unsigned char c) {
    switch (c) {
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        default: return hexEscape("\\x%02x", c);
    }
}

}  // namespace

std::string escapeControlCharacters(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (isC0OrDelete(c)) {
            escaped += escapeOf(c);
        } else if (isC1(text, i)) {
            escaped += hexEscape("\\u%04x", static_cast<unsigned char>(text[++i]));
        } else {
            escaped += text[i];
        }
    }
    return escaped;
}

}  // namespace varen::server
