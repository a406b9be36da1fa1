// Feeds arbitrary bytes into the response-head parser, split into chunks chosen by the input, and
// checks that the split never changes the outcome and that a parsed head is well-formed.

#include <cstdlib>
#include <string_view>

#include "Platform/HTTP/HTTPMessage.h"

using varen::platform::HTTPMessage;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool hasLineBreak(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first two bytes pick the chunk sizes; the rest is the stream.
    const unsigned splitSeed = data[0] | (data[1] << 8);
    data += 2;
    size -= 2;

    HTTPMessage whole = HTTPMessage::createEmptyResponse();
    const bool wholeAccepted = whole.appendBytes(data, size);

    HTTPMessage chunked = HTTPMessage::createEmptyResponse();
    bool chunkedAccepted = true;
    unsigned state = splitSeed | 1;
    std::size_t offset = 0;
    while (offset < size) {
        state = state * 1103515245u + 12345u;
        const std::size_t chunk = std::min<std::size_t>(size - offset, 1 + (state >> 16) % 64);
        chunkedAccepted = chunked.appendBytes(data + offset, chunk) && chunkedAccepted;
        offset += chunk;
    }

    check(wholeAccepted == chunkedAccepted);
    check(whole.isHeaderComplete() == chunked.isHeaderComplete());
    check(whole.isMalformed() == chunked.isMalformed());
    check(whole.responseStatusCode() == chunked.responseStatusCode());
    check(whole.responseStatusReason() == chunked.responseStatusReason());
    check(whole.httpVersion() == chunked.httpVersion());
    check(whole.allHeaderFields() == chunked.allHeaderFields());
    check(whole.body() == chunked.body());

    if (whole.isHeaderComplete()) {
        check(whole.responseStatusCode() >= 0 && whole.responseStatusCode() <= 999);
        check(whole.httpVersion().size() == 8);
        check(!hasLineBreak(whole.responseStatusReason()));
        for (const auto& [name, value] : whole.allHeaderFields()) {
            check(!name.empty() && !hasLineBreak(name) && name.find(':') == std::string::npos);
            check(!hasLineBreak(value));
            check(whole.headerFieldValue(name).has_value());
        }
        // The body is exactly the tail of the input.
        check(whole.body().size() <= size);
        check(std::equal(whole.body().begin(), whole.body().end(),
                         data + size - whole.body().size()));
        // A parsed head serializes back into one that parses to the same fields.
        const auto bytes = whole.serializedMessage();
        HTTPMessage again = HTTPMessage::createEmptyResponse();
        check(again.appendBytes(bytes.data(), bytes.size()) ||
              bytes.size() > HTTPMessage::kMaxHeadLength);
        if (again.isHeaderComplete()) {
            check(again.responseStatusCode() == whole.responseStatusCode());
            check(again.allHeaderFields().size() == whole.allHeaderFields().size());
        }
    } else {
        check(whole.responseStatusCode() == 0);
        check(whole.allHeaderFields().empty());
    }
    return 0;
}
