#include "varenstt/Platform/OperationQueue.h"

#include <algorithm>
#include <deque>
#include <thread>

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

struct OperationQueue::Impl : std::enable_shared_from_this<OperationQueue::Impl> {
    mutable std::mutex mutex;
    std::condition_variable allFinished;
    std::vector<std::shared_ptr<Operation>> unfinished;  // in the order added
    std::deque<std::shared_ptr<Operation>> waiting;      // not started (limited concurrency)
    int maxConcurrent = kNoLimit;
    int running = 0;

    // Called with the mutex held.
    void startWhatMayRun() {
        while (!waiting.empty() && (maxConcurrent == kNoLimit || running < maxConcurrent)) {
            auto operation = waiting.front();
            waiting.pop_front();
            ++running;
            auto self = shared_from_this();
            std::thread([self, operation] {
                operation->runAndFinish();
                self->finished(operation);
            }).detach();
        }
    }

    void finished(const std::shared_ptr<Operation>& operation) {
        std::lock_guard lock(mutex);
        --running;
        unfinished.erase(std::remove(unfinished.begin(), unfinished.end(), operation),
                         unfinished.end());
        startWhatMayRun();
        if (unfinished.empty()) allFinished.notify_all();
    }
};

std::shared_ptr<OperationQueue> OperationQueue::create() {
    return std::make_shared<OperationQueue>();
}

OperationQueue::OperationQueue() : impl_(std::make_shared<Impl>()) {}
OperationQueue::~OperationQueue() = default;

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
    std::lock_guard lock(impl_->mutex);
    impl_->unfinished.push_back(operation);
    impl_->waiting.push_back(std::move(operation));
    impl_->startWhatMayRun();
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
    impl_->startWhatMayRun();
}

}  // namespace varen::platform
