#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace varen::platform {

// A shared pointer that several threads read and replace: `std::atomic<std::shared_ptr>` with
// a mutex inside. This standard library's atomic version ends a read by releasing its internal
// lock with a relaxed store, so nothing orders that read before a later replacement on another
// thread, and the thread sanitizer reports the pair as a race.
//
// Thread safety: every member may be called from any thread. A replaced pointer is released
// outside the lock, so its owner's destructor may use the slot.
template <typename T>
class SharedSlot {
  public:
    std::shared_ptr<T> load() const {
        std::lock_guard lock(mutex_);
        return pointer_;
    }
    void store(std::shared_ptr<T> pointer) { exchange(std::move(pointer)); }
    std::shared_ptr<T> exchange(std::shared_ptr<T> pointer) {
        std::lock_guard lock(mutex_);
        return std::exchange(pointer_, std::move(pointer));
    }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<T> pointer_;
};

}  // namespace varen::platform
