#pragma once

#include <memory>

#include <asio/io_context.hpp>

#include "varenstt/Platform/RunLoop.h"

namespace varen::platform {

// What the library's own code needs of a run loop beyond the host's view of it.
class RunLoopAccess {
  public:
    // The loop's event context, for timers and sockets scheduled on it.
    static asio::io_context& context(RunLoop& loop);
    // Stops the loop for good and destroys the work still queued on it, breaking the cycles
    // between a loop and the handlers that hold it. The loop must not be running.
    static void retire(const std::shared_ptr<RunLoop>& loop);
    static bool retired(const RunLoop& loop);
};

}  // namespace varen::platform
