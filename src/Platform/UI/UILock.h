#pragma once

#include <mutex>

namespace varen::platform::ui {

// The one lock of all views, layers, constraints and recognizers. Recursive, since a layout
// pass reads and writes views that take it too.
std::recursive_mutex& toolkitLock();

using ToolkitGuard = std::lock_guard<std::recursive_mutex>;

}  // namespace varen::platform::ui
