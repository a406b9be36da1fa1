#include "WebSocket/SRRunLoopThread.h"

#include <pthread.h>

namespace varen {

SRRunLoopThread::SRRunLoopThread() {
    waitGroup_.enter();
}

void SRRunLoopThread::start() {
    thread_ = std::thread([this] { main(); });
    // The kernel keeps at most 15 bytes of a thread's name: the last label is what fits.
    pthread_setname_np(thread_.native_handle(), name_.substr(name_.rfind('.') + 1).c_str());
    threadId_ = thread_.get_id();
    thread_.detach();
}

void SRRunLoopThread::main() {
    runLoop_ = platform::RunLoop::current();
    waitGroup_.leave();
    // `run` keeps going without pending work until the loop is stopped, which no one does.
    for (;;) runLoop_->run();
}

std::shared_ptr<platform::RunLoop> SRRunLoopThread::runLoop() {
    waitGroup_.wait();
    return runLoop_;
}

SRRunLoopThread& SR_networkThread() {
    // Never destroyed: sockets may still use it while the process exits.
    static SRRunLoopThread* thread = [] {
        auto* created = new SRRunLoopThread();
        created->start();
        return created;
    }();
    return *thread;
}

std::shared_ptr<platform::RunLoop> SR_networkRunLoop() {
    // Leaked like the thread: its loop keeps running while static objects are destroyed.
    static const auto* loop = new std::shared_ptr<platform::RunLoop>(SR_networkThread().runLoop());
    return *loop;
}

}  // namespace varen
