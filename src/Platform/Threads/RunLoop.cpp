#include "varenstt/Platform/RunLoop.h"

#include <atomic>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

namespace varen::platform {

namespace {

// The loop the calling thread is running right now, if any; it is that thread's current loop.
thread_local RunLoop* runningLoop = nullptr;
thread_local std::shared_ptr<RunLoop> threadLoop;

}  // namespace

struct RunLoop::Impl {
    asio::io_context context{1};
    std::atomic<std::thread::id> runningThread{};
};

// Marks the calling thread as the one running the loop for the duration of a run.
class RunScope {
  public:
    RunScope(RunLoop* loop, std::atomic<std::thread::id>& runningThread)
        : previous_(runningLoop), runningThread_(runningThread) {
        runningLoop = loop;
        previousThread_ = runningThread_.exchange(std::this_thread::get_id());
    }
    ~RunScope() {
        runningThread_.store(previousThread_);
        runningLoop = previous_;
    }

  private:
    RunLoop* previous_;
    std::atomic<std::thread::id>& runningThread_;
    std::thread::id previousThread_;
};

RunLoop::RunLoop() : impl_(std::make_unique<Impl>()) {}
RunLoop::~RunLoop() = default;

std::shared_ptr<RunLoop> RunLoop::current() {
    if (runningLoop != nullptr) return runningLoop->shared_from_this();
    if (!threadLoop) threadLoop = std::make_shared<RunLoop>();
    return threadLoop;
}

std::shared_ptr<RunLoop> RunLoop::main() {
    // Never destroyed: timers and queued work may still refer to it while the process exits.
    static const auto* mainLoop = new std::shared_ptr<RunLoop>(std::make_shared<RunLoop>());
    return *mainLoop;
}

void RunLoop::run() {
    RunScope scope(this, impl_->runningThread);
    auto work = asio::make_work_guard(impl_->context);
    impl_->context.restart();
    impl_->context.run();
}

void RunLoop::runFor(Duration duration) {
    RunScope scope(this, impl_->runningThread);
    auto work = asio::make_work_guard(impl_->context);
    impl_->context.restart();
    impl_->context.run_for(duration);
}

bool RunLoop::runUntil(const std::function<bool()>& predicate, Duration timeout) {
    RunScope scope(this, impl_->runningThread);
    auto work = asio::make_work_guard(impl_->context);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const Duration slice = std::chrono::milliseconds(10);
    while (!predicate()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return predicate();
        impl_->context.restart();
        impl_->context.run_one_for(std::min<Duration>(slice, deadline - now));
    }
    return true;
}

void RunLoop::stop() {
    impl_->context.stop();
}

void RunLoop::perform(std::function<void()> work) {
    asio::post(impl_->context, std::move(work));
}

bool RunLoop::isCurrent() const {
    return impl_->runningThread.load() == std::this_thread::get_id();
}

asio::io_context& RunLoop::context() {
    return impl_->context;
}

}  // namespace varen::platform
