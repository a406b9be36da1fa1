#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/RunLoop.h"

namespace varen {

// The one network thread of the process: its run loop receives the stream events of every
// socket and runs their cleanup timers. Created on first use; the library's shutdown stops it.
//
// Thread safety: `runLoop` may be called from any thread; it waits until the thread has
// published its loop.
class SRRunLoopThread {
  public:
    static constexpr const char* kThreadName = "com.varen.stt.NetworkThread";

    SRRunLoopThread();
    ~SRRunLoopThread();
    SRRunLoopThread(const SRRunLoopThread&) = delete;
    SRRunLoopThread& operator=(const SRRunLoopThread&) = delete;

    void start();
    // Ends the thread and joins it, then retires its loop. Not from the thread itself.
    void stop();
    std::shared_ptr<platform::RunLoop> runLoop();
    const std::string& name() const { return name_; }
    std::thread::id threadId() const { return threadId_; }

  private:
    void main();

    std::string name_ = kThreadName;
    platform::DispatchGroup waitGroup_;
    std::shared_ptr<platform::RunLoop> runLoop_;
    std::atomic<bool> stopRequested_{false};
    std::thread thread_;
    std::thread::id threadId_;
};

// The shared network run loop (and its thread), created on first use. The thread belongs to the
// runtime, which keeps it until shutdown.
std::shared_ptr<platform::RunLoop> SR_networkRunLoop();
SRRunLoopThread& SR_networkThread();

}  // namespace varen
