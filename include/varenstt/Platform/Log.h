#pragma once

#include <functional>
#include <string>

namespace varen::platform {

using LogSink = std::function<void(const std::string& line)>;

// Writes one diagnostic line. Thread safety: callable from any thread; lines never interleave.
void log(const std::string& line);

// Replaces where lines go (stderr by default); an empty sink restores stderr. Returns the old one.
LogSink setLogSink(LogSink sink);

}  // namespace varen::platform
