#include "varenstt/SRURLRequest.h"

#include "Platform/Security/Security.h"
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
    if (auto pem = platform::Certificate::fromPEM(
            std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())))
        return pem->derData();
    if (auto der = platform::Certificate::fromDER(bytes)) return der->derData();
    return std::nullopt;
}

}  // namespace varen
