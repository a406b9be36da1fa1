#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "varenstt/Platform/Data.h"
#include "varenstt/Platform/URL.h"

namespace varen::platform {

// An HTTP/1.1 message: either a request built field by field and serialized, or a response whose
// head is parsed from bytes as they arrive. Field names compare without regard to ASCII case.
//
// The response parser accepts only a well-formed head (status line, fields, empty line, every
// line ended by CR LF) of at most kMaxHeadLength bytes; anything else marks the message
// malformed for good. Folded field lines are joined with one space. Repeated fields are combined
// into one value separated by ", ".
class HTTPMessage {
  public:
    using Field = std::pair<std::string, std::string>;

    static constexpr std::size_t kMaxHeadLength = 64 * 1024;

    // A request with the given method (an HTTP token) for the URL, version HTTP/1.1.
    static HTTPMessage createRequest(std::string method, const URL& url);
    // An empty response, ready for `appendBytes`.
    static HTTPMessage createEmptyResponse();

    bool isRequest() const { return isRequest_; }

    // Sets a field, replacing an earlier one of the same name (keeping its place) or adding it at
    // the end. A name that is not an HTTP token or a value holding CR, LF or NUL would corrupt the
    // serialized head and is refused: false, nothing changes.
    bool setHeaderFieldValue(std::string_view name, std::string_view value);
    // The value of the field of that name, if there is one.
    std::optional<std::string> headerFieldValue(std::string_view name) const;
    // All fields in the order they were set or received.
    const std::vector<Field>& allHeaderFields() const { return fields_; }

    // A request as bytes: request line, one line per field, an empty line; no body.
    Data serializedMessage() const;

    // Feeds bytes of a response. Bytes after the end of the head are kept as the body, never
    // parsed as head. False once the head is known to be malformed (and for every later call).
    bool appendBytes(const std::uint8_t* bytes, std::size_t length);
    bool isHeaderComplete() const { return state_ == State::Complete; }
    bool isMalformed() const { return state_ == State::Malformed; }

    // The response's status code; 0 until the head is complete.
    int responseStatusCode() const { return statusCode_; }
    // The response's reason phrase, empty until the head is complete.
    const std::string& responseStatusReason() const { return reason_; }
    // "HTTP/1.1" for a request; the response's version once its head is complete.
    const std::string& httpVersion() const { return version_; }
    // Bytes that followed the response's head.
    const Data& body() const { return body_; }

    const std::string& requestMethod() const { return method_; }
    const std::optional<URL>& requestURL() const { return url_; }

  private:
    enum class State { Head, Complete, Malformed };

    HTTPMessage() = default;
    bool parseHead(std::string_view head);
    bool parseFieldLines(std::span<const std::string_view> lines);
    bool parseStatusLine(std::string_view line);
    void addReceivedField(std::string name, std::string value);

    bool isRequest_ = false;
    std::string method_;
    std::optional<URL> url_;
    std::string version_;
    std::vector<Field> fields_;

    State state_ = State::Head;
    std::string head_;
    Data body_;
    int statusCode_ = 0;
    std::string reason_;
};

}  // namespace varen::platform
