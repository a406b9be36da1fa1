#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "varenstt/Export.h"

namespace varen::platform {

class RunLoop;

// A serial queue: tasks run one at a time, in submission order, on a shared pool of worker
// threads (an Asio strand). `main()` runs its tasks on the main run loop.
//
// Thread safety: every member may be called from any thread. Tasks never run inside the call
// that submitted them. Once the library has been shut down (`varen::shutdown()`), a queue made
// before drops what it is given, and the tasks it still held are destroyed unrun; queues made
// afterwards run on the fresh runtime.
class VARENSTT_API DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
  public:
    using Task = std::function<void()>;
    using Duration = std::chrono::steady_clock::duration;

    static std::shared_ptr<DispatchQueue> create(std::string label = {});
    static std::shared_ptr<DispatchQueue> main();
    ~DispatchQueue();

    void async(Task task);
    void after(Duration delay, Task task);
    // Runs the task on the queue and waits for it. Must not be called from the queue itself.
    void sync(const Task& task);

    const std::string& label() const { return label_; }

    // Queue-specific values, for "am I on this queue" checks.
    void setSpecific(const void* key, void* value);
    // The value for the key on the queue running the calling task; null off any queue.
    static void* getSpecific(const void* key);
    // The queue whose task is running on the calling thread, or null.
    static DispatchQueue* currentQueue();
    bool isCurrent() const { return currentQueue() == this; }

  private:
    friend class DispatchQueueAccess;
    struct VARENSTT_LOCAL Impl;
    DispatchQueue(std::string label, bool isMain);
    DispatchQueue(std::string label, std::shared_ptr<RunLoop> loop);

    std::string label_;
    std::unique_ptr<Impl> impl_;
};

// Counts outstanding work; `wait` blocks until every `enter` has been matched by a `leave`.
class VARENSTT_API DispatchGroup {
  public:
    DispatchGroup();
    ~DispatchGroup();
    void enter();
    void leave();
    void wait();
    // Waits at most the given time; true when the count reached zero.
    bool waitFor(std::chrono::steady_clock::duration timeout);
    // Runs the task on the queue once the count is zero (at once if it is zero now).
    void notify(std::shared_ptr<DispatchQueue> queue, DispatchQueue::Task task);

  private:
    struct VARENSTT_LOCAL Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace varen::platform
