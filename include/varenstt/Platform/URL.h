#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "varenstt/Export.h"

namespace varen {

// An absolute URL parsed per RFC 3986. Components are kept as written (percent-encoded);
// `user()` and `password()` give them decoded, as a host expects.
class VARENSTT_API URL {
  public:
    // Parses the text; a text that is not an absolute RFC 3986 URI gives no URL.
    static std::optional<URL> URLWithString(std::string_view text);

    const std::string& absoluteString() const { return text_; }
    const std::string& scheme() const { return scheme_; }
    // The host without the brackets of an IP literal ("::1" for "[::1]").
    const std::string& host() const { return host_; }
    std::optional<std::uint32_t> port() const { return port_; }
    std::optional<std::string> user() const;
    std::optional<std::string> password() const;
    // The path as written; empty when the URL has none.
    const std::string& path() const { return path_; }
    std::optional<std::string> query() const { return query_; }
    std::optional<std::string> fragment() const { return fragment_; }
    bool hostIsIPLiteral() const { return ipLiteral_; }

    bool operator==(const URL& other) const { return text_ == other.text_; }

  private:
    std::string text_;
    std::string scheme_;
    std::optional<std::string> user_;
    std::optional<std::string> password_;
    std::string host_;
    bool ipLiteral_ = false;
    std::optional<std::uint32_t> port_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

// Percent-encodes every byte outside the RFC 3986 unreserved set (A-Z a-z 0-9 - . _ ~).
VARENSTT_API std::string percentEncodeUnreserved(std::string_view text);

// Decodes %XX escapes; malformed escapes stay as they are.
VARENSTT_API std::string percentDecode(std::string_view text);

}  // namespace varen
