#include "varenstt/Runtime.h"

#include "Platform/Runtime.h"

namespace varen {

void shutdown() {
    platform::Runtime::shutdown();
}

}  // namespace varen
