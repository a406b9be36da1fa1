#include "varenstt/SRURLRequest.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include "WebSocket/SRHandshakeHelpers.h"

namespace varen {

void SRURLRequest::setValueForHTTPHeaderField(std::optional<std::string> value,
                                              const std::string& field) {
    for (auto it = headerFields_.begin(); it != headerFields_.end(); ++it) {
        if (SRHeaderNameEquals(it->first, field)) {
            if (value)
                it->second = std::move(*value);
            else
                headerFields_.erase(it);
            return;
        }
    }
    if (value) headerFields_.emplace_back(field, std::move(*value));
}

std::optional<std::string> SRURLRequest::valueForHTTPHeaderField(const std::string& field) const {
    for (const auto& [name, value] : headerFields_) {
        if (SRHeaderNameEquals(name, field)) return value;
    }
    return std::nullopt;
}

std::optional<std::string> SRHTTPResponse::valueForHeaderField(const std::string& field) const {
    for (const auto& [name, value] : headerFields) {
        if (SRHeaderNameEquals(name, field)) return value;
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> SRRequestHeaderFieldsWithCookies(
    const std::vector<SRHTTPCookie>& cookies) {
    std::string value;
    for (const auto& cookie : cookies) {
        if (cookie.name.empty()) continue;
        if (!value.empty()) value += "; ";
        value += cookie.name + "=" + cookie.value;
    }
    if (value.empty()) return {};
    return {{"Cookie", value}};
}

std::optional<Data> SRCertificateDERFromBytes(const Data& bytes) {
    if (bytes.empty()) return std::nullopt;
    X509* cert = nullptr;
    BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    if (!bio) return std::nullopt;
    cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!cert) {
        const unsigned char* p = bytes.data();
        cert = d2i_X509(nullptr, &p, static_cast<long>(bytes.size()));
    }
    if (!cert) return std::nullopt;
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    X509_free(cert);
    if (n <= 0) return std::nullopt;
    Data out(der, der + n);
    OPENSSL_free(der);
    return out;
}

}  // namespace varen
