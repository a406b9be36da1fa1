#pragma once

#include <string>

#include "varenstt/Platform/Error.h"
#include "varenstt/VarenSTTErrors.h"

namespace varen {

// The text a host is shown for a failed run: the library's own message, else the error's
// description.
inline std::string failureMessage(const Error& error) {
    const auto found = error.userInfo.is_object() ? error.userInfo.find(VarenSTTErrorMessageKey)
                                                  : error.userInfo.end();
    return found != error.userInfo.end() && found->is_string() ? found->get<std::string>()
                                                               : error.localizedDescription();
}

}  // namespace varen
