#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "varenstt/Export.h"

namespace varen::platform {

// An event loop bound to the thread that runs it, over an Asio io_context.
//
// Thread safety: `perform`, `stop` and the accessors may be called from any thread; the run
// functions are called by the one thread that owns the loop. Work performed on a loop runs on
// the thread currently running it, never inside the call that queued it. Once the library has
// been shut down (`varen::shutdown()`), a loop it handed out runs nothing and drops the work it
// is given; `main()` then returns a new loop.
class VARENSTT_API RunLoop : public std::enable_shared_from_this<RunLoop> {
  public:
    using Duration = std::chrono::steady_clock::duration;

    RunLoop();
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // The loop of the calling thread, created on first use.
    static std::shared_ptr<RunLoop> current();
    // The host's main loop. Whichever thread runs it is the main thread; all callbacks that the
    // library puts on the main queue run there.
    static std::shared_ptr<RunLoop> main();

    // Runs until `stop` is called, even when no work is pending.
    void run();
    // Runs for the given time, then returns.
    void runFor(Duration duration);
    // Runs until the predicate (checked after every handler and at least every 10 ms) is true or
    // the timeout passes; returns the predicate's last value.
    bool runUntil(const std::function<bool()>& predicate, Duration timeout);
    // Makes a running `run`, `runFor` or `runUntil` return soon.
    void stop();

    // Queues work on the loop.
    void perform(std::function<void()> work);

    // True when the calling thread is the one currently running this loop.
    bool isCurrent() const;

  private:
    friend class RunLoopAccess;
    struct VARENSTT_LOCAL Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace varen::platform
