#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "varenstt/Export.h"

namespace varen::platform {

struct VARENSTT_API Notification {
    std::string name;
    const void* sender = nullptr;
};

// Observers by name; posting calls them synchronously on the posting thread.
//
// Thread safety: every member may be called from any thread. An observer removed before a post
// starts calling it is not called; removal does not wait for a call already running. The
// default centre belongs to the library's runtime: `varen::shutdown()` ends it with its
// observers, and the next use makes a new one.
class VARENSTT_API NotificationCenter {
  public:
    using Observer = std::function<void(const Notification&)>;
    using Token = std::shared_ptr<void>;

    static NotificationCenter& defaultCenter();

    // Observes the name; a null sender means "from any sender". Keep the token to remove it.
    Token addObserver(std::string name, const void* sender, Observer observer);
    void removeObserver(const Token& token);
    void post(const std::string& name, const void* sender);

  private:
    struct Entry;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Entry>> entries_;
};

}  // namespace varen::platform
