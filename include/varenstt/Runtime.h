#pragma once

#include "varenstt/Export.h"

namespace varen {

// Ends the library's process-wide runtime, in order: a run that is recording or streaming is
// stopped as `stopRecognize()` would stop it (capture ends, the recording file is completed,
// the connection is closed), then the library's threads are joined (network, operations,
// workers), queued work is dropped, and the shared objects (`VarenSTTManager::shared()`, the
// stream client, the default notification centre, the main run loop) are released.
//
// Call it from the main thread, while the main run loop is not running, before returning from
// `main`; afterwards static destruction at exit is safe. Calling it again does nothing. Without
// it, the library's threads keep running while the process exits.
//
// After it the library starts afresh: the next call that needs the runtime creates a new one,
// with a new main run loop, shared manager (default settings) and threads. Objects made before
// stay inert: their queues and run loops drop the work they are given.
VARENSTT_API void shutdown();

}  // namespace varen
