#include "Platform/Runtime.h"

#include <algorithm>

namespace varen::platform {

namespace {

constinit std::mutex liveMutex;
// Ended only by `shutdown`: a host that exits without it leaves the threads running, so the
// runtime must outlive static destruction.
std::shared_ptr<Runtime>* live = nullptr;

constexpr std::size_t kWorkerThreads = 4;

}  // namespace

void WorkerPool::retire() {
    retired_.store(true);
    stop();
    join();
    // Destroys the tasks still queued, and with them what they hold.
    shutdown();
}

std::shared_ptr<Runtime> Runtime::current() {
    std::lock_guard lock(liveMutex);
    if (live == nullptr) live = new std::shared_ptr<Runtime>(std::make_shared<Runtime>());
    return *live;
}

void Runtime::shutdown() {
    std::shared_ptr<Runtime> runtime;
    {
        std::lock_guard lock(liveMutex);
        if (live == nullptr) return;
        runtime = *live;
    }
    // Still the live runtime while it stops: what its steps look up must not start a new one.
    runtime->stop();
    std::lock_guard lock(liveMutex);
    if (live != nullptr && *live == runtime) {
        delete live;
        live = nullptr;
    }
}

Runtime::Runtime() = default;

std::shared_ptr<WorkerPool> Runtime::workerPool() {
    std::lock_guard lock(poolMutex_);
    if (!pool_) {
        pool_ = std::make_shared<WorkerPool>(kWorkerThreads);
        // Asked for while shutting down: queues made now drop what they are given.
        if (stopping()) pool_->retire();
    }
    return pool_;
}

Runtime::~Runtime() {
    stop();
}

std::shared_ptr<void> Runtime::sharedObject(const void* key,
                                            const std::function<std::shared_ptr<void>()>& make) {
    std::lock_guard lock(mutex_);
    auto found = objects_.find(key);
    if (found != objects_.end()) return found->second;
    auto object = make();
    objects_.emplace(key, object);
    creationOrder_.push_back(key);
    return object;
}

void Runtime::atShutdown(Stage stage, std::function<void()> step) {
    std::lock_guard lock(mutex_);
    steps_.emplace_back(stage, std::move(step));
}

// A thread that has done its work leaves the list by itself, detached, so neither a long-lived
// host nor the exit collects finished threads; shutdown joins those still in the list.
void Runtime::letGoOfFinishedThread(std::uint64_t id) {
    std::lock_guard lock(threadsMutex_);
    const auto own = std::find_if(threads_.begin(), threads_.end(),
                                  [&](const Worker& worker) { return worker.id == id; });
    if (own == threads_.end()) return;  // shutdown has taken it, and joins it
    own->thread.detach();
    threads_.erase(own);
}

bool Runtime::startThread(std::function<void()> body) {
    std::lock_guard lock(threadsMutex_);
    if (threadsClosed_) return false;
    const std::uint64_t id = nextThreadId_++;
    threads_.push_back({std::thread([this, body = std::move(body), id]() mutable {
                            body();
                            body = nullptr;  // what the work held goes while it may still go
                            letGoOfFinishedThread(id);
                        }),
                        id});
    return true;
}

void Runtime::stop() {
    if (stopping_.exchange(true)) return;
    const auto runStage = [this](Stage stage) {
        // Steps may register others; those of a later stage still run.
        for (std::size_t i = 0;; ++i) {
            std::function<void()> step;
            {
                std::lock_guard lock(mutex_);
                if (i >= steps_.size()) return;
                if (steps_[i].first != stage) continue;
                step = steps_[i].second;
            }
            step();
        }
    };
    runStage(Stage::endRuns);
    runStage(Stage::endCapture);
    runStage(Stage::endThreads);
    std::vector<Worker> threads;
    {
        std::lock_guard lock(threadsMutex_);
        threadsClosed_ = true;
        threads.swap(threads_);
    }
    for (auto& worker : threads) worker.thread.join();
    std::shared_ptr<WorkerPool> pool;
    {
        std::lock_guard lock(poolMutex_);
        pool = pool_;
    }
    if (pool) pool->retire();
    runStage(Stage::retireLoops);

    // Newest first: later objects may use earlier ones as they go.
    for (;;) {
        std::shared_ptr<void> object;
        {
            std::lock_guard lock(mutex_);
            if (creationOrder_.empty()) break;
            const void* key = creationOrder_.back();
            creationOrder_.pop_back();
            auto found = objects_.find(key);
            object = std::move(found->second);
            objects_.erase(found);
        }
        object.reset();
    }
    std::lock_guard lock(mutex_);
    steps_.clear();
}

}  // namespace varen::platform
