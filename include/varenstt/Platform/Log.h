#pragma once

#include <functional>
#include <string>

#include "varenstt/Export.h"
#include "varenstt/Log.h"

namespace varen::platform {

using LogSink = std::function<void(const std::string& line)>;

// Writes one diagnostic line, at `info` unless a level is given. Thread safety: callable from any
// thread; lines never interleave.
VARENSTT_API void log(const std::string& line);
VARENSTT_API void log(LogLevel level, const std::string& line);

// Replaces where lines go (stderr by default), whatever their level; an empty sink restores
// stderr. Returns the old one (empty when the host's handler, or none, was in place).
VARENSTT_API LogSink setLogSink(LogSink sink);

}  // namespace varen::platform
