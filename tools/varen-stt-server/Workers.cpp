#include "Workers.h"

#include <algorithm>

namespace varen::server {

namespace net = boost::asio;

struct WorkerPool::Worker {
    net::io_context ioc{1};
    net::executor_work_guard<Executor> work{ioc.get_executor()};
    std::atomic<int> holders{0};
    std::thread thread;
};

WorkerPool::Lease::Lease(Worker& worker) : worker_(worker) {
    worker_.holders.fetch_add(1);
}

WorkerPool::Lease::~Lease() {
    worker_.holders.fetch_sub(1);
}

WorkerPool::Executor WorkerPool::Lease::executor() const {
    return worker_.ioc.get_executor();
}

WorkerPool::WorkerPool(std::size_t count) : running_(std::max<std::size_t>(count, 1)) {
    for (std::size_t i = 0; i < running_; ++i) workers_.push_back(std::make_unique<Worker>());
    for (auto& worker : workers_) {
        worker->thread = std::thread([this, &ioc = worker->ioc] {
            ioc.run();
            finished();
        });
    }
}

WorkerPool::~WorkerPool() {
    join();
}

void WorkerPool::join() {
    stop();
    for (auto& worker : workers_) {
        if (worker->thread.joinable()) worker->thread.join();
    }
}

WorkerPool::Lease WorkerPool::lease() {
    auto idlest = std::min_element(workers_.begin(), workers_.end(), [](auto& a, auto& b) {
        return a->holders.load() < b->holders.load();
    });
    return Lease(**idlest);
}

WorkerPool::Executor WorkerPool::executor(std::size_t index) {
    return workers_.at(index)->ioc.get_executor();
}

void WorkerPool::stop() {
    for (auto& worker : workers_) worker->ioc.stop();
}

void WorkerPool::finished() {
    std::lock_guard lock(mutex_);
    if (--running_ == 0) allFinished_.notify_all();
}

bool WorkerPool::waitFor(std::chrono::steady_clock::duration timeout) {
    std::unique_lock lock(mutex_);
    return allFinished_.wait_for(lock, timeout, [this] { return running_ == 0; });
}

}  // namespace varen::server
