#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "varenstt/Export.h"
#include "varenstt/Platform/RunLoop.h"

namespace varen::platform {

// A one-shot or repeating timer scheduled on a run loop; it fires on that loop's thread. The
// loop keeps the timer alive while it is scheduled.
//
// Thread safety: `invalidate` may be called from any thread. Once it has returned the timer
// never fires again; called from inside the callback, the current firing completes.
class VARENSTT_API Timer : public std::enable_shared_from_this<Timer> {
  public:
    using Callback = std::function<void(Timer&)>;

    static std::shared_ptr<Timer> scheduledTimer(
        RunLoop::Duration interval, bool repeats, Callback callback,
        std::shared_ptr<RunLoop> loop = RunLoop::current());
    ~Timer();

    void invalidate();
    bool isValid() const;
    RunLoop::Duration interval() const { return interval_; }

  private:
    Timer(RunLoop::Duration interval, bool repeats, Callback callback,
          std::shared_ptr<RunLoop> loop);

    struct State;
    void arm();
    void waitForNextFiring();
    RunLoop::Duration interval_;
    bool repeats_;
    std::shared_ptr<State> state_;
};

}  // namespace varen::platform
