#include "varenstt/Platform/DispatchQueue.h"

#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <optional>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include "Platform/Runtime.h"
#include "Platform/Threads/DispatchQueueAccess.h"
#include "Platform/Threads/RunLoopAccess.h"
#include "varenstt/Platform/RunLoop.h"

namespace varen::platform {

namespace {

thread_local DispatchQueue* runningQueue = nullptr;

class RunningQueueScope {
  public:
    explicit RunningQueueScope(DispatchQueue* queue) : previous_(runningQueue) {
        runningQueue = queue;
    }
    ~RunningQueueScope() { runningQueue = previous_; }

  private:
    DispatchQueue* previous_;
};

}  // namespace

struct DispatchQueue::Impl {
    explicit Impl(bool isMain) {
        if (isMain) {
            loop = RunLoop::main();
        } else {
            pool = Runtime::current()->workerPool();
            strand.emplace(asio::make_strand(pool->get_executor()));
        }
    }

    explicit Impl(std::shared_ptr<RunLoop> on) : loop(std::move(on)) {
        loopStrand.emplace(asio::make_strand(RunLoopAccess::context(*loop).get_executor()));
    }

    // After shutdown nothing may be queued: a task would hold its queue, and the queue the pool.
    bool retired() const { return loop ? RunLoopAccess::retired(*loop) : pool->retired(); }

    template <typename Handler>
    void post(Handler&& handler) {
        if (retired()) return;
        if (loopStrand) {
            asio::post(*loopStrand, std::forward<Handler>(handler));
        } else if (loop) {
            // The main loop: serial already, as its tasks run one at a time in order.
            asio::post(RunLoopAccess::context(*loop), std::forward<Handler>(handler));
        } else {
            asio::post(*strand, std::forward<Handler>(handler));
        }
    }

    // The run loop the tasks run on (the main loop, or the loop the queue was made on); null
    // for a queue on the worker pool.
    std::shared_ptr<RunLoop> loop;
    std::optional<asio::strand<asio::io_context::executor_type>> loopStrand;
    std::shared_ptr<WorkerPool> pool;  // declared before the strand, which must not outlive it
    std::optional<asio::strand<asio::thread_pool::executor_type>> strand;
    std::mutex specificsMutex;
    std::map<const void*, void*> specifics;
};

DispatchQueue::DispatchQueue(std::string label, bool isMain)
    : label_(std::move(label)), impl_(std::make_unique<Impl>(isMain)) {}

DispatchQueue::DispatchQueue(std::string label, std::shared_ptr<RunLoop> loop)
    : label_(std::move(label)), impl_(std::make_unique<Impl>(std::move(loop))) {}

std::shared_ptr<DispatchQueue> DispatchQueueAccess::createOn(std::shared_ptr<RunLoop> loop,
                                                             std::string label) {
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(label), std::move(loop)));
}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::create(std::string label) {
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(label), false));
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static const char key = 0;
    return Runtime::current()->shared<DispatchQueue>(&key, [] {
        return std::shared_ptr<DispatchQueue>(new DispatchQueue("com.varen.stt.main", true));
    });
}

void DispatchQueue::async(Task task) {
    // The queued task keeps its queue alive, as a dispatch queue is retained by its blocks.
    auto self = shared_from_this();
    impl_->post([self, task = std::move(task)] {
        RunningQueueScope scope(self.get());
        task();
    });
}

void DispatchQueue::after(Duration delay, Task task) {
    if (impl_->retired()) return;
    auto self = shared_from_this();
    std::shared_ptr<asio::steady_timer> timer;
    if (impl_->loop) {
        timer = std::make_shared<asio::steady_timer>(RunLoopAccess::context(*impl_->loop), delay);
    } else {
        timer = std::make_shared<asio::steady_timer>(impl_->pool->get_executor(), delay);
    }
    timer->async_wait([self, timer, task = std::move(task)](const std::error_code&) mutable {
        self->async(std::move(task));
    });
}

void DispatchQueue::sync(const Task& task) {
    if (impl_->retired()) return;  // it would wait for ever
    std::promise<void> done;
    async([&] {
        task();
        done.set_value();
    });
    done.get_future().wait();
}

void DispatchQueue::setSpecific(const void* key, void* value) {
    std::lock_guard lock(impl_->specificsMutex);
    if (value == nullptr) {
        impl_->specifics.erase(key);
    } else {
        impl_->specifics[key] = value;
    }
}

void* DispatchQueue::getSpecific(const void* key) {
    DispatchQueue* queue = runningQueue;
    if (queue == nullptr) return nullptr;
    std::lock_guard lock(queue->impl_->specificsMutex);
    auto found = queue->impl_->specifics.find(key);
    return found == queue->impl_->specifics.end() ? nullptr : found->second;
}

DispatchQueue* DispatchQueue::currentQueue() {
    return runningQueue;
}

struct DispatchGroup::Impl {
    std::mutex mutex;
    std::condition_variable zero;
    long count = 0;
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchQueue::Task>> notifications;
};

DispatchGroup::DispatchGroup() : impl_(std::make_shared<Impl>()) {}
DispatchGroup::~DispatchGroup() = default;

void DispatchGroup::enter() {
    std::lock_guard lock(impl_->mutex);
    ++impl_->count;
}

void DispatchGroup::leave() {
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchQueue::Task>> ready;
    {
        std::lock_guard lock(impl_->mutex);
        --impl_->count;
        if (impl_->count > 0) return;
        ready.swap(impl_->notifications);
        impl_->zero.notify_all();
    }
    for (auto& [queue, task] : ready) queue->async(std::move(task));
}

void DispatchGroup::wait() {
    std::unique_lock lock(impl_->mutex);
    impl_->zero.wait(lock, [&] { return impl_->count <= 0; });
}

bool DispatchGroup::waitFor(std::chrono::steady_clock::duration timeout) {
    std::unique_lock lock(impl_->mutex);
    return impl_->zero.wait_for(lock, timeout, [&] { return impl_->count <= 0; });
}

void DispatchGroup::notify(std::shared_ptr<DispatchQueue> queue, DispatchQueue::Task task) {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->count > 0) {
            impl_->notifications.emplace_back(std::move(queue), std::move(task));
            return;
        }
    }
    queue->async(std::move(task));
}

}  // namespace varen::platform
