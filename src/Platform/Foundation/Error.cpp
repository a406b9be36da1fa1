#include "varenstt/Platform/Error.h"

namespace varen {

Error Error::withDescription(std::string domain, std::int64_t code, const std::string& text) {
    Error error;
    error.domain = std::move(domain);
    error.code = code;
    error.userInfo[NSLocalizedDescriptionKey] = text;
    return error;
}

std::string Error::localizedDescription() const {
    if (userInfo.is_object()) {
        auto found = userInfo.find(NSLocalizedDescriptionKey);
        if (found != userInfo.end() && found->is_string()) return found->get<std::string>();
    }
    return "The operation couldn't be completed. (" + domain + " error " + std::to_string(code) +
           ".)";
}

}  // namespace varen
