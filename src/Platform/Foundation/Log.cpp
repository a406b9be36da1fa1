#include "varenstt/Platform/Log.h"

#include <cstdio>
#include <mutex>

namespace varen::platform {

namespace {

// Constant-initialised with nothing to destroy, so it is usable at any point of exit.
constinit std::mutex sinkLock;

std::mutex& sinkMutex() {
    return sinkLock;
}

LogSink& currentSink() {
    static LogSink sink;
    return sink;
}

}  // namespace

void log(const std::string& line) {
    std::lock_guard lock(sinkMutex());
    if (currentSink()) {
        currentSink()(line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

LogSink setLogSink(LogSink sink) {
    std::lock_guard lock(sinkMutex());
    LogSink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

}  // namespace varen::platform
