#include "Platform/HTTP/HTTPMessage.h"

#include <algorithm>
#include <cassert>

namespace varen::platform {

namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kVersionPrefix = "HTTP/";

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// RFC 9110 tchar.
bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c)) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// Field content and reason phrases: visible characters, obs-text, space and tab.
bool isFieldChar(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == '\t' || (byte >= 0x20 && byte != 0x7f);
}

bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trimSpaces(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

HTTPMessage HTTPMessage::createRequest(std::string method, const URL& url) {
    assert(isToken(method) && "an HTTP method is a token");
    HTTPMessage message;
    message.isRequest_ = true;
    message.method_ = std::move(method);
    message.url_ = url;
    message.version_ = "HTTP/1.1";
    return message;
}

HTTPMessage HTTPMessage::createEmptyResponse() {
    return HTTPMessage();
}

bool HTTPMessage::setHeaderFieldValue(std::string_view name, std::string_view value) {
    if (!isToken(name)) return false;
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return false;
    for (auto& field : fields_) {
        if (equalsIgnoringCase(field.first, name)) {
            field.second = std::string(value);
            return true;
        }
    }
    fields_.emplace_back(std::string(name), std::string(value));
    return true;
}

std::optional<std::string> HTTPMessage::headerFieldValue(std::string_view name) const {
    for (const auto& field : fields_) {
        if (equalsIgnoringCase(field.first, name)) return field.second;
    }
    return std::nullopt;
}

Data HTTPMessage::serializedMessage() const {
    std::string text;
    if (isRequest_) {
        // The resource name of a request line: path ("/" when empty) and query.
        std::string resource = url_->path().empty() ? "/" : url_->path();
        if (const auto query = url_->query()) resource += "?" + *query;
        text = method_ + " " + resource + " " + version_ + "\r\n";
    } else {
        if (state_ != State::Complete) return {};
        const std::string code = std::to_string(1000 + statusCode_).substr(1);  // three digits
        text = version_ + " " + code + " " + reason_ + "\r\n";
    }
    for (const auto& [name, value] : fields_) text += name + ": " + value + "\r\n";
    text += "\r\n";
    return Data(text.begin(), text.end());
}

bool HTTPMessage::appendBytes(const std::uint8_t* bytes, std::size_t length) {
    if (isRequest_ || state_ == State::Malformed) return false;
    if (length == 0) return true;
    const char* chars = reinterpret_cast<const char*>(bytes);
    if (state_ == State::Complete) {
        body_.insert(body_.end(), bytes, bytes + length);
        return true;
    }

    // Only up to the size limit goes into the head; the rest can only be body.
    const std::size_t before = head_.size();
    const std::size_t taken = std::min(length, kMaxHeadLength - before);
    head_.append(chars, taken);

    // Reject a stream that cannot be a response as soon as its first bytes show it.
    const std::size_t prefix = std::min(head_.size(), kVersionPrefix.size());
    if (head_.compare(0, prefix, kVersionPrefix.substr(0, prefix)) != 0) {
        state_ = State::Malformed;
        return false;
    }

    // The end marker may straddle the previous append.
    const std::size_t from = before >= kHeadEnd.size() - 1 ? before - (kHeadEnd.size() - 1) : 0;
    const std::size_t end = head_.find(kHeadEnd, from);
    if (end == std::string::npos) {
        if (head_.size() >= kMaxHeadLength) {
            state_ = State::Malformed;
            return false;
        }
        return true;
    }

    const std::size_t headLength = end + kHeadEnd.size();
    body_.assign(head_.begin() + static_cast<std::ptrdiff_t>(headLength), head_.end());
    body_.insert(body_.end(), bytes + taken, bytes + length);
    head_.resize(headLength);
    if (!parseHead(std::string_view(head_).substr(0, end + 2))) {
        fields_.clear();
        statusCode_ = 0;
        reason_.clear();
        version_.clear();
        body_.clear();
        state_ = State::Malformed;
        return false;
    }
    state_ = State::Complete;
    head_.clear();
    head_.shrink_to_fit();
    return true;
}

namespace {

// The lines of `head`, each ended by CR LF there; none when a line is not so ended or holds a
// lone CR or LF, which is neither a line end nor content.
std::optional<std::vector<std::string_view>> splitHeadLines(std::string_view head) {
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const std::size_t lineEnd = head.find("\r\n");
        if (lineEnd == std::string_view::npos) return std::nullopt;
        const std::string_view line = head.substr(0, lineEnd);
        if (line.find_first_of("\r\n") != std::string_view::npos) return std::nullopt;
        lines.push_back(line);
        head.remove_prefix(lineEnd + 2);
    }
    return lines;
}

// An obsolete folded continuation line: joined to the field's value with one space.
void appendFoldedLine(std::string& value, std::string_view line) {
    const std::string_view more = trimSpaces(line);
    if (!more.empty()) value += (value.empty() ? "" : " ") + std::string(more);
}

}  // namespace

// `head` is the status line and the field lines, each ended by CR LF.
bool HTTPMessage::parseHead(std::string_view head) {
    const auto lines = splitHeadLines(head);
    if (!lines || lines->empty() || !parseStatusLine(lines->front())) return false;
    return parseFieldLines(std::span(*lines).subspan(1));
}

bool HTTPMessage::parseFieldLines(std::span<const std::string_view> lines) {
    std::string name;
    std::string value;
    bool haveField = false;
    for (const std::string_view line : lines) {
        if (!std::all_of(line.begin(), line.end(), isFieldChar)) return false;
        if (line.empty()) return false;
        if (isSpace(line.front())) {
            if (!haveField) return false;
            appendFoldedLine(value, line);
            continue;
        }
        if (haveField) addReceivedField(std::move(name), std::move(value));
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return false;
        // No space is allowed between the name and the colon.
        if (!isToken(line.substr(0, colon))) return false;
        name = std::string(line.substr(0, colon));
        value = std::string(trimSpaces(line.substr(colon + 1)));
        haveField = true;
    }
    if (haveField) addReceivedField(std::move(name), std::move(value));
    return true;
}

// "HTTP/" DIGIT "." DIGIT SP 3DIGIT [SP reason]
bool HTTPMessage::parseStatusLine(std::string_view line) {
    if (line.size() < 12) return false;
    if (line.substr(0, 5) != kVersionPrefix || !isDigit(line[5]) || line[6] != '.' ||
        !isDigit(line[7]) || line[8] != ' ') {
        return false;
    }
    if (!isDigit(line[9]) || !isDigit(line[10]) || !isDigit(line[11])) return false;
    std::string_view reason = line.substr(12);
    // Some servers leave out the space before an empty reason.
    if (!reason.empty()) {
        if (reason.front() != ' ') return false;
        reason.remove_prefix(1);
    }
    if (!std::all_of(reason.begin(), reason.end(), isFieldChar)) return false;
    version_ = std::string(line.substr(0, 8));
    statusCode_ = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    reason_ = std::string(reason);
    return true;
}

void HTTPMessage::addReceivedField(std::string name, std::string value) {
    for (auto& field : fields_) {
        if (equalsIgnoringCase(field.first, name)) {
            field.second += ", " + value;
            return;
        }
    }
    fields_.emplace_back(std::move(name), std::move(value));
}

}  // namespace varen::platform
