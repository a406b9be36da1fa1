#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "varenstt/Export.h"

namespace varen::platform {

// A unit of work run by an OperationQueue on a background thread.
//
// Thread safety: `cancel`, `isCancelled`, `isFinished` and `waitUntilFinished` may be called from
// any thread; `main` runs on the operation's own thread.
class VARENSTT_API Operation : public std::enable_shared_from_this<Operation> {
  public:
    virtual ~Operation();
    virtual void main() = 0;

    // Sets the cancel flag; the operation's `main` decides what to do with it.
    void cancel() { cancelled_.store(true); }
    bool isCancelled() const { return cancelled_.load(); }
    bool isFinished() const;
    void waitUntilFinished();

  private:
    friend class OperationQueue;
    void runAndFinish();
    std::atomic<bool> cancelled_{false};
    mutable std::mutex mutex_;
    std::condition_variable finishedCondition_;
    bool finished_ = false;
};

// An operation that runs a block.
class VARENSTT_API BlockOperation : public Operation {
  public:
    explicit BlockOperation(std::function<void()> block) : block_(std::move(block)) {}
    void main() override;

  private:
    std::function<void()> block_;
};

// Runs added operations on background threads. With the default (no limit) every operation
// gets a thread of its own; with a maximum of one, operations run one after another in the
// order they were added.
//
// Thread safety: every member may be called from any thread.
class VARENSTT_API OperationQueue : public std::enable_shared_from_this<OperationQueue> {
  public:
    static std::shared_ptr<OperationQueue> create();
    OperationQueue();
    ~OperationQueue();

    void addOperation(std::shared_ptr<Operation> operation);
    void addOperationWithBlock(std::function<void()> block);
    void cancelAllOperations();
    // The operations added and not yet finished.
    std::vector<std::shared_ptr<Operation>> operations() const;
    void waitUntilAllOperationsAreFinished();

    static constexpr int kNoLimit = -1;
    void setMaxConcurrentOperationCount(int count);

  private:
    struct VARENSTT_LOCAL Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace varen::platform
