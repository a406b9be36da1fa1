#include "varenstt/Platform/Log.h"

#include <cstdio>
#include <mutex>

namespace varen {

namespace {

// Constant-initialised with nothing to destroy, so it is usable at any point of exit.
constinit std::mutex handlerLock;

struct Handlers {
    LogHandler handler;
    // The line sink of the library's own tests, kept so that it can be handed back.
    platform::LogSink sink;
};

Handlers& current() {
    static Handlers handlers;
    return handlers;
}

}  // namespace

void setLogHandler(LogHandler handler) {
    std::lock_guard lock(handlerLock);
    current() = Handlers{std::move(handler), {}};
}

namespace platform {

void log(const std::string& line) {
    log(LogLevel::info, line);
}

void log(LogLevel level, const std::string& line) {
    std::lock_guard lock(handlerLock);
    if (current().handler) {
        current().handler(level, line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

LogSink setLogSink(LogSink sink) {
    std::lock_guard lock(handlerLock);
    LogSink previous = std::move(current().sink);
    current().handler = {};
    if (sink) {
        current().handler = [sink](LogLevel, std::string_view line) { sink(std::string(line)); };
    }
    current().sink = std::move(sink);
    return previous;
}

}  // namespace platform

}  // namespace varen
