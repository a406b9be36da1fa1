#include <array>
#include <string_view>

#include "Platform/Audio/AudioRecorder.h"
#include "Platform/Net/Streams.h"
#include "varenstt/Recognizer.h"
#include "varenstt/SRWebSocket.h"
#include "varenstt/VarenSTTErrors.h"

namespace varen {

namespace {

// The code within its domain keeps the low 24 bits (negative statuses wrap within them); the
// domain takes the bits above.
constexpr int kDomainShift = 24;
constexpr std::int64_t kCodeMask = (std::int64_t(1) << kDomainShift) - 1;

struct DomainName {
    ErrorDomain domain;
    std::string_view name;
};

const std::array<DomainName, 8>& domainNames() {
    static const std::array<DomainName, 8> names{{
        {ErrorDomain::recognition, VarenSTTRecognitionErrorDomain},
        {ErrorDomain::capture, VarenSTTErrorDomain},
        {ErrorDomain::webSocket, SRWebSocketErrorDomain},
        {ErrorDomain::openTimeout, SRWebSocketTimeoutErrorDomain},
        {ErrorDomain::pinning, SRWebSocketPinningErrorDomain},
        {ErrorDomain::stream, platform::kStreamErrorDomain},
        {ErrorDomain::tls, platform::kStreamTLSErrorDomain},
        {ErrorDomain::audioStatus, platform::NSOSStatusErrorDomain},
    }};
    return names;
}

std::string_view nameOf(ErrorDomain domain) {
    for (const auto& entry : domainNames())
        if (entry.domain == domain) return entry.name;
    return "unknown domain";
}

class Category final : public std::error_category {
  public:
    const char* name() const noexcept override { return "varenstt"; }
    std::string message(int value) const override {
        const std::error_code code(value, *this);
        return std::string(nameOf(errorDomain(code))) + " error " +
               std::to_string(errorCodeInDomain(code));
    }
};

}  // namespace

const std::error_category& errorCategory() {
    static const Category category;
    return category;
}

std::error_code makeErrorCode(ErrorDomain domain, std::int64_t code) {
    const auto value = (std::int64_t(domain) << kDomainShift) | (code & kCodeMask);
    return {static_cast<int>(value), errorCategory()};
}

std::error_code makeErrorCode(const Error& error) {
    for (const auto& entry : domainNames())
        if (entry.name == error.domain) return makeErrorCode(entry.domain, error.code);
    return makeErrorCode(ErrorDomain::other, error.code);
}

ErrorDomain errorDomain(std::error_code code) {
    if (code.category() != errorCategory()) return ErrorDomain::other;
    return static_cast<ErrorDomain>(code.value() >> kDomainShift);
}

std::int64_t errorCodeInDomain(std::error_code code) {
    std::int64_t inDomain = code.value() & kCodeMask;
    // Codes below zero (audio statuses) come back with their sign.
    if (inDomain & (std::int64_t(1) << (kDomainShift - 1))) inDomain -= kCodeMask + 1;
    return inDomain;
}

}  // namespace varen
