#pragma once

#include <functional>
#include <string_view>

#include "varenstt/Export.h"

namespace varen {

// How much a log line matters: `debug` traces the run (texts the server sent, files deleted),
// `info` tells of normal events, `warning` of something ignored or dropped that the run survives,
// `error` of a failure the host may want to see (a recording file that cannot be written).
enum class LogLevel { debug, info, warning, error };

using LogHandler = std::function<void(LogLevel level, std::string_view line)>;

// Where the library's log lines go; by default to stderr, one line each, whatever their level.
// An empty handler restores that. The handler is called on whichever thread logs, one line at a
// time (calls never overlap), and must not log through the library itself. Callable from any
// thread; a line being written while the handler is replaced goes to the old one.
VARENSTT_API void setLogHandler(LogHandler handler);

}  // namespace varen
