#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "varenstt/Export.h"

namespace varen {

// The user-info key under which an error carries its human-readable description.
inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";

// An error value: a domain, an integer code and a user-information map (a JSON object).
struct VARENSTT_API Error {
    std::string domain;
    std::int64_t code = 0;
    nlohmann::json userInfo = nlohmann::json::object();

    static Error withDescription(std::string domain, std::int64_t code, const std::string& text);

    // The text under NSLocalizedDescriptionKey, or a generic text naming domain and code.
    std::string localizedDescription() const;

    bool operator==(const Error&) const = default;
};

}  // namespace varen
