#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "varenstt/Export.h"
#include "varenstt/Platform/Data.h"
#include "varenstt/Platform/URL.h"

namespace varen {

// How the connection's traffic should be treated by the network.
enum class SRURLRequestNetworkServiceType : std::int64_t {
    Default = 0,
    VoIP = 1,
    Video = 2,
    Background = 3,
    Voice = 4,
};

// The request a WebSocket connects with: the URL, the open timeout, extra header fields, the
// network service type and the TLS trust material (pinned certificates, extra CAs).
//
// A socket keeps the request it was built with (shared, not copied), so a change made to it
// before `open` is seen by the socket. Thread safety: not synchronised; do not change a request
// while a socket that uses it is connecting.
class VARENSTT_API SRURLRequest {
  public:
    // A request carries the usual defaults: a 60 second timeout, no header fields.
    explicit SRURLRequest(std::optional<URL> url = std::nullopt) : url_(std::move(url)) {}

    const std::optional<URL>& url() const { return url_; }
    void setURL(std::optional<URL> url) { url_ = std::move(url); }

    // Seconds; 0 or less: no open timeout.
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }

    // Header fields in the order they were first set; names compare without regard to case.
    const std::vector<std::pair<std::string, std::string>>& allHTTPHeaderFields() const {
        return headerFields_;
    }
    // Sets (replaces) a field; an absent value removes it.
    void setValueForHTTPHeaderField(std::optional<std::string> value, const std::string& field);
    std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;

    SRURLRequestNetworkServiceType networkServiceType() const { return serviceType_; }
    void setNetworkServiceType(SRURLRequestNetworkServiceType type) { serviceType_ = type; }

    // Server certificates (DER) to pin. Absent or empty: no pinning. With at least one, the
    // chain is not validated; only a byte-for-byte match with one of them admits the server.
    const std::optional<std::vector<Data>>& SR_SSLPinnedCertificates() const { return pinned_; }
    void setSR_SSLPinnedCertificates(std::optional<std::vector<Data>> certificates) {
        pinned_ = std::move(certificates);
    }

    // CA certificates (PEM) trusted besides the system store when the chain is validated.
    const std::vector<std::string>& SR_extraTrustedCertificatesPEM() const { return extraCAs_; }
    void addSR_extraTrustedCertificatePEM(std::string pem) { extraCAs_.push_back(std::move(pem)); }

  private:
    std::optional<URL> url_;
    double timeoutInterval_ = 60.0;
    std::vector<std::pair<std::string, std::string>> headerFields_;
    SRURLRequestNetworkServiceType serviceType_ = SRURLRequestNetworkServiceType::Default;
    std::optional<std::vector<Data>> pinned_;
    std::vector<std::string> extraCAs_;
};

// The DER encoding of a certificate given as DER or PEM bytes; none when the bytes hold no
// certificate.
VARENSTT_API std::optional<Data> SRCertificateDERFromBytes(const Data& bytes);

// An HTTP cookie as a request sends it back (RFC 6265 §5.4: name and value only).
struct VARENSTT_API SRHTTPCookie {
    std::string name;
    std::string value;
};

// The request header fields for the cookies: one "Cookie" field "n1=v1; n2=v2" (RFC 6265
// §5.4), or no field when there are no cookies.
VARENSTT_API std::vector<std::pair<std::string, std::string>> SRRequestHeaderFieldsWithCookies(
    const std::vector<SRHTTPCookie>& cookies);

// The server's answer to the opening handshake: status and header fields as received.
struct VARENSTT_API SRHTTPResponse {
    std::int64_t statusCode = 0;
    std::vector<std::pair<std::string, std::string>> headerFields;

    // A field's value; names compare without regard to case.
    std::optional<std::string> valueForHeaderField(const std::string& field) const;
};

}  // namespace varen
