#include "varenstt/Platform/Log.h"

#include <cstdio>
#include <mutex>

namespace varen::platform {

namespace {

std::mutex& sinkMutex() {
    static auto* mutex = new std::mutex;  // never destroyed: threads may log during exit
    return *mutex;
}

LogSink& currentSink() {
    static auto* sink = new LogSink;
    return *sink;
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
