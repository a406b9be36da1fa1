#include "varenstt/Platform/RunLoop.h"

#include <atomic>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "Platform/Runtime.h"
#include "Platform/Threads/RunLoopAccess.h"

namespace varen::platform {

namespace {

// The loop the calling thread is running right now, if any; it is that thread's current loop.
thread_local RunLoop* runningLoop = nullptr;
thread_local std::shared_ptr<RunLoop> threadLoop;

}  // namespace

// An io_context whose queued handlers can be destroyed without destroying the context itself.
class RetirableContext : public asio::io_context {
  public:
    RetirableContext() : asio::io_context(1) {}
    void destroyPendingWork() { shutdown(); }
};

struct RunLoop::Impl {
    RetirableContext context;
    std::atomic<std::thread::id> runningThread{};
    std::atomic<bool> retired{false};
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
    static const char key = 0;
    const auto runtime = Runtime::current();
    return runtime->shared<RunLoop>(&key, [&] {
        auto loop = std::make_shared<RunLoop>();
        runtime->atShutdown(Runtime::Stage::retireLoops, [loop] { RunLoopAccess::retire(loop); });
        return loop;
    });
}

void RunLoop::run() {
    if (impl_->retired.load()) return;
    RunScope scope(this, impl_->runningThread);
    auto work = asio::make_work_guard(impl_->context);
    impl_->context.restart();
    impl_->context.run();
}

void RunLoop::runFor(Duration duration) {
    if (impl_->retired.load()) return;
    RunScope scope(this, impl_->runningThread);
    auto work = asio::make_work_guard(impl_->context);
    impl_->context.restart();
    impl_->context.run_for(duration);
}

bool RunLoop::runUntil(const std::function<bool()>& predicate, Duration timeout) {
    if (impl_->retired.load()) return predicate();
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
    if (impl_->retired.load()) return;
    asio::post(impl_->context, std::move(work));
}

bool RunLoop::isCurrent() const {
    return impl_->runningThread.load() == std::this_thread::get_id();
}

asio::io_context& RunLoopAccess::context(RunLoop& loop) {
    return loop.impl_->context;
}

void RunLoopAccess::retire(const std::shared_ptr<RunLoop>& loop) {
    // `loop` is held by the caller: the handlers destroyed here may hold the last other owner.
    loop->impl_->retired.store(true);
    loop->impl_->context.stop();
    loop->impl_->context.destroyPendingWork();
}

bool RunLoopAccess::retired(const RunLoop& loop) {
    return loop.impl_->retired.load();
}

}  // namespace varen::platform
