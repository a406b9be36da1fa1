#pragma once

#include <memory>
#include <string>
#include <thread>

#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/RunLoop.h"

namespace varen {

// The one network thread of the process: its run loop receives the stream events of every
// socket and runs their cleanup timers. Created on first use, never stopped.
//
// Thread safety: `runLoop` may be called from any thread; it waits until the thread has
// published its loop.
class SRRunLoopThread {
  public:
    static constexpr const char* kThreadName = "com.varen.stt.NetworkThread";

    SRRunLoopThread();
    SRRunLoopThread(const SRRunLoopThread&) = delete;
    SRRunLoopThread& operator=(const SRRunLoopThread&) = delete;

    void start();
    std::shared_ptr<platform::RunLoop> runLoop();
    const std::string& name() const { return name_; }
    std::thread::id threadId() const { return threadId_; }

  private:
    void main();

    std::string name_ = kThreadName;
    platform::DispatchGroup waitGroup_;
    std::shared_ptr<platform::RunLoop> runLoop_;
    std::thread thread_;
    std::thread::id threadId_;
};

// The shared network run loop (and its thread), created on first use.
std::shared_ptr<platform::RunLoop> SR_networkRunLoop();
SRRunLoopThread& SR_networkThread();

}  // namespace varen
