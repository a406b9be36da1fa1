#include "varenstt/Platform/Timer.h"

#include <atomic>
#include <mutex>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "Platform/Threads/RunLoopAccess.h"

namespace varen::platform {

struct Timer::State {
    explicit State(std::shared_ptr<RunLoop> owner, Callback cb)
        : loop(std::move(owner)), timer(RunLoopAccess::context(*loop)), callback(std::move(cb)) {}
    std::shared_ptr<RunLoop> loop;  // declared before the timer: the timer dies first
    asio::steady_timer timer;       // touched only on the loop's thread
    // Held while the callback runs, so `invalidate` from another thread waits for a firing in
    // progress; recursive because the callback may invalidate its own timer.
    std::recursive_mutex fireMutex;
    std::atomic<bool> valid{true};
    Callback callback;
};

std::shared_ptr<Timer> Timer::scheduledTimer(RunLoop::Duration interval, bool repeats,
                                             Callback callback, std::shared_ptr<RunLoop> loop) {
    auto timer = std::shared_ptr<Timer>(new Timer(interval, repeats, std::move(callback), std::move(loop)));
    timer->arm();
    return timer;
}

Timer::Timer(RunLoop::Duration interval, bool repeats, Callback callback,
             std::shared_ptr<RunLoop> loop)
    : interval_(interval),
      repeats_(repeats),
      state_(std::make_shared<State>(std::move(loop), std::move(callback))) {}

Timer::~Timer() = default;

void Timer::arm() {
    // The pending wait holds the timer, as a run loop retains its scheduled timers.
    // A retired loop would keep the timer for ever.
    if (RunLoopAccess::retired(*state_->loop)) return;
    auto self = shared_from_this();
    asio::post(RunLoopAccess::context(*state_->loop), [self] {
        if (!self->state_->valid.load()) return;
        self->state_->timer.expires_after(self->interval_);
        self->waitForNextFiring();
    });
}

void Timer::waitForNextFiring() {
    auto self = shared_from_this();
    state_->timer.async_wait([self](const std::error_code& error) {
        auto& state = *self->state_;
        if (error) return;
        bool again = false;
        {
            std::lock_guard lock(state.fireMutex);
            if (!state.valid.load()) return;
            if (!self->repeats_) state.valid.store(false);
            state.callback(*self);
            again = state.valid.load();
        }
        if (!again) {
            state.callback = nullptr;
            return;
        }
        state.timer.expires_at(state.timer.expiry() + self->interval_);
        self->waitForNextFiring();
    });
}

void Timer::invalidate() {
    {
        std::lock_guard lock(state_->fireMutex);
        state_->valid.store(false);
    }
    // Cancelling releases the pending wait (and with it the loop's hold on the timer).
    auto state = state_;
    if (RunLoopAccess::retired(*state->loop)) return;
    asio::post(RunLoopAccess::context(*state->loop), [state] {
        state->timer.cancel();
        std::lock_guard lock(state->fireMutex);
        state->callback = nullptr;
    });
}

bool Timer::isValid() const {
    return state_->valid.load();
}

}  // namespace varen::platform
