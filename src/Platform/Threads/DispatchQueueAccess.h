#pragma once

#include <memory>
#include <string>

#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/RunLoop.h"

namespace varen::platform {

// What the library's own code needs of dispatch queues beyond the host's view of them.
class DispatchQueueAccess {
  public:
    // A serial queue whose tasks run on the thread that runs `loop` (a strand on the loop), so
    // work that ends in that loop's sockets crosses no thread to reach them.
    static std::shared_ptr<DispatchQueue> createOn(std::shared_ptr<RunLoop> loop,
                                                   std::string label = {});
};

}  // namespace varen::platform
