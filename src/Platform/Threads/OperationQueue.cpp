#include "varenstt/Platform/OperationQueue.h"

#include <algorithm>
#include <deque>

#include "Platform/Runtime.h"

namespace varen::platform {

Operation::~Operation() = default;

bool Operation::isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

void Operation::waitUntilFinished() {
    std::unique_lock lock(mutex_);
    finishedCondition_.wait(lock, [&] { return finished_; });
}

void Operation::runAndFinish() {
    // An operation cancelled before it started finishes without running.
    if (!isCancelled()) main();
    std::lock_guard lock(mutex_);
    finished_ = true;
    finishedCondition_.notify_all();
}

void BlockOperation::main() {
    if (block_) block_();
}

namespace {

// The queues of one runtime, so that its shutdown can end their threads.
template <typename Impl>
struct LiveQueues {
    std::mutex mutex;
    std::vector<std::weak_ptr<Impl>> list;
};

}  // namespace

// Operations run on threads of the runtime, at most the concurrency limit of them; a thread
// that finishes an operation takes the next one, or waits idle until the queue is dropped.
struct OperationQueue::Impl : std::enable_shared_from_this<OperationQueue::Impl> {
    explicit Impl(std::shared_ptr<Runtime> owner) : runtime(std::move(owner)) {}

    const std::shared_ptr<Runtime> runtime;
    mutable std::mutex mutex;
    std::condition_variable allFinished;
    std::condition_variable workChanged;
    std::vector<std::shared_ptr<Operation>> unfinished;  // in the order added
    std::deque<std::shared_ptr<Operation>> waiting;      // not started
    int maxConcurrent = kNoLimit;
    int running = 0;
    int threads = 0;
    bool closed = false;  // dropped, or the runtime is ending: idle threads leave

    void registerWithRuntime() {
        static const char key = 0;
        auto live = runtime->shared<LiveQueues<Impl>>(&key, [&] {
            auto created = std::make_shared<LiveQueues<Impl>>();
            std::weak_ptr<LiveQueues<Impl>> weak = created;
            runtime->atShutdown(Runtime::Stage::endThreads, [weak] {
                const auto queues = weak.lock();
                if (!queues) return;
                std::vector<std::weak_ptr<Impl>> list;
                {
                    std::lock_guard lock(queues->mutex);
                    list = queues->list;
                }
                for (const auto& weakQueue : list) {
                    if (auto queue = weakQueue.lock()) queue->close(true);
                }
            });
            return created;
        });
        std::lock_guard lock(live->mutex);
        std::erase_if(live->list, [](const auto& queue) { return queue.expired(); });
        live->list.push_back(weak_from_this());
    }

    bool mayStartAnother() const { return maxConcurrent == kNoLimit || running < maxConcurrent; }

    // Called with the mutex held: wakes idle threads and starts the ones still missing.
    void serve() {
        if (waiting.empty()) return;
        std::size_t startable = waiting.size();
        if (maxConcurrent != kNoLimit) {
            startable = std::min(startable, std::size_t(std::max(0, maxConcurrent - running)));
        }
        workChanged.notify_all();
        const std::size_t idle = std::size_t(threads - running);
        for (std::size_t i = idle; i < startable; ++i) {
            auto self = shared_from_this();
            if (!runtime->startThread([self] { self->serveOnThisThread(); })) {
                refuseWaiting();
                return;
            }
            ++threads;
        }
    }

    // Once the runtime has ended no thread can start: waiting operations finish unrun.
    void refuseWaiting() {
        for (auto& operation : waiting) {
            operation->cancel();
            operation->runAndFinish();
            unfinished.erase(std::remove(unfinished.begin(), unfinished.end(), operation),
                             unfinished.end());
        }
        waiting.clear();
        if (unfinished.empty()) allFinished.notify_all();
    }

    void serveOnThisThread() {
        std::unique_lock lock(mutex);
        for (;;) {
            workChanged.wait(lock, [&] { return closed || (!waiting.empty() && mayStartAnother()); });
            if (waiting.empty() || !mayStartAnother()) break;  // closed, and nothing for this one
            auto operation = std::move(waiting.front());
            waiting.pop_front();
            ++running;
            lock.unlock();
            operation->runAndFinish();
            lock.lock();
            --running;
            unfinished.erase(std::remove(unfinished.begin(), unfinished.end(), operation),
                             unfinished.end());
            if (unfinished.empty()) allFinished.notify_all();
        }
        --threads;
    }

    void close(bool cancel) {
        std::lock_guard lock(mutex);
        closed = true;
        if (cancel) {
            for (auto& operation : unfinished) operation->cancel();
        }
        workChanged.notify_all();
    }
};

std::shared_ptr<OperationQueue> OperationQueue::create() {
    return std::make_shared<OperationQueue>();
}

OperationQueue::OperationQueue() : impl_(std::make_shared<Impl>(Runtime::current())) {
    impl_->registerWithRuntime();
}

OperationQueue::~OperationQueue() {
    // Operations already added still run; the threads leave once they are done.
    impl_->close(false);
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
    std::lock_guard lock(impl_->mutex);
    impl_->unfinished.push_back(operation);
    impl_->waiting.push_back(std::move(operation));
    impl_->serve();
}

void OperationQueue::addOperationWithBlock(std::function<void()> block) {
    addOperation(std::make_shared<BlockOperation>(std::move(block)));
}

void OperationQueue::cancelAllOperations() {
    std::lock_guard lock(impl_->mutex);
    for (auto& operation : impl_->unfinished) operation->cancel();
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->unfinished;
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock lock(impl_->mutex);
    impl_->allFinished.wait(lock, [&] { return impl_->unfinished.empty(); });
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    std::lock_guard lock(impl_->mutex);
    impl_->maxConcurrent = count;
    impl_->serve();
}

}  // namespace varen::platform
