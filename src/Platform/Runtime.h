#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <asio/thread_pool.hpp>

namespace varen::platform {

// The worker threads behind every serial queue. Once retired its threads are joined and the
// tasks still queued are destroyed; queues that outlive it drop what they are given.
class WorkerPool : public asio::thread_pool {
  public:
    explicit WorkerPool(std::size_t threads) : asio::thread_pool(threads) {}
    void retire();
    bool retired() const { return retired_.load(); }

  private:
    std::atomic<bool> retired_{false};
};

// The process-wide state of the library: the worker pool, the threads it starts, and the shared
// objects of each subsystem (main loop and queue, notification centre, audio registries, network
// thread, managers). Created on first use; `shutdown` ends it in order, and the next use creates
// a fresh one.
//
// Thread safety: every member may be called from any thread. `shutdown` is called from a thread
// the runtime does not own, while the main run loop is not running.
class Runtime {
  public:
    // What `shutdown` does first, in this order: the steps of each stage run in the order they
    // were registered.
    enum class Stage { endRuns, endCapture, endThreads, retireLoops };

    // The live runtime, created when there is none.
    static std::shared_ptr<Runtime> current();
    // Ends the live runtime, if there is one: the stages, then operation threads and the worker
    // pool are joined, then the shared objects are released, newest first.
    static void shutdown();

    Runtime();
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // Started at its first use: a process whose queues all run on loops never starts it.
    std::shared_ptr<WorkerPool> workerPool();

    // The object of one subsystem (`key` is the address of something of its own), made by
    // `make` on first use in this runtime.
    template <typename T, typename Make>
    std::shared_ptr<T> shared(const void* key, Make&& make) {
        return std::static_pointer_cast<T>(sharedObject(
            key, [&]() -> std::shared_ptr<void> { return std::forward<Make>(make)(); }));
    }

    void atShutdown(Stage stage, std::function<void()> step);

    // Starts a thread that `shutdown` joins; false (and no thread) once shutdown is under way.
    bool startThread(std::function<void()> body);
    // True from the start of `shutdown`.
    bool stopping() const { return stopping_.load(); }

  private:
    std::shared_ptr<void> sharedObject(const void* key,
                                       const std::function<std::shared_ptr<void>()>& make);
    void stop();
    void letGoOfFinishedThread(std::uint64_t id);

    std::mutex poolMutex_;
    std::shared_ptr<WorkerPool> pool_;  // guarded by poolMutex_
    std::atomic<bool> stopping_{false};
    std::recursive_mutex mutex_;  // objects made by `make` may ask for others
    std::map<const void*, std::shared_ptr<void>> objects_;
    std::vector<const void*> creationOrder_;
    std::vector<std::pair<Stage, std::function<void()>>> steps_;
    std::mutex threadsMutex_;
    bool threadsClosed_ = false;
    struct Worker {
        std::thread thread;
        std::uint64_t id;  // how a finished thread finds itself in the list
    };
    std::vector<Worker> threads_;
    std::uint64_t nextThreadId_ = 0;
};

}  // namespace varen::platform
