// The threads that decode.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace varen::server {

// Threads each with a queue of their own, so that all a session posts to its worker runs in
// order on one thread: a decoder must stay on the thread that made it (see LanguageModel).
//
// Thread safety: all operations may be called from any thread.
class WorkerPool {
  public:
    using Executor = boost::asio::io_context::executor_type;

    explicit WorkerPool(std::size_t count);
    ~WorkerPool();  // join()
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    struct Worker;

    // A worker held by one session while it decodes: the worker with the fewest such holders
    // is handed out, so that sessions spread over the threads.
    class Lease {
      public:
        explicit Lease(Worker& worker);
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Executor executor() const;

      private:
        Worker& worker_;
    };

    Lease lease();
    Executor executor(std::size_t index);

    // Work queued but not started is dropped; work under way runs to its end.
    void stop();
    // True when every thread has ended within the timeout.
    bool waitFor(std::chrono::steady_clock::duration timeout);
    // stop(), then waits for every thread however long it takes.
    void join();

  private:
    void finished();

    std::vector<std::unique_ptr<Worker>> workers_;
    std::mutex mutex_;
    std::condition_variable allFinished_;
    std::size_t running_;
};

}  // namespace varen::server
