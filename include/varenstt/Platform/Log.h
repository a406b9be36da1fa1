#pragma once

#include <functional>
#include <string>

#include "varenstt/Export.h"

namespace varen::platform {

using LogSink = std::function<void(const std::string& line)>;

// Writes one diagnostic line. Thread safety: callable from any thread; lines never interleave.
VARENSTT_API void log(const std::string& line);

// Replaces where lines go (stderr by default); an empty sink restores stderr. Returns the old one.
VARENSTT_API LogSink setLogSink(LogSink sink);

}  // namespace varen::platform
