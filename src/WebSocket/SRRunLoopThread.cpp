#include "WebSocket/SRRunLoopThread.h"

#include <pthread.h>

#include "Platform/Runtime.h"
#include "Platform/Threads/RunLoopAccess.h"

namespace varen {

SRRunLoopThread::SRRunLoopThread() {
    waitGroup_.enter();
}

SRRunLoopThread::~SRRunLoopThread() {
    stop();
}

void SRRunLoopThread::start() {
    thread_ = std::thread([this] { main(); });
    // The kernel keeps at most 15 bytes of a thread's name: the last label is what fits.
    pthread_setname_np(thread_.native_handle(), name_.substr(name_.rfind('.') + 1).c_str());
    threadId_ = thread_.get_id();
}

void SRRunLoopThread::main() {
    runLoop_ = platform::RunLoop::current();
    waitGroup_.leave();
    // `run` keeps going without pending work until the loop is stopped.
    while (!stopRequested_.load()) runLoop_->run();
}

void SRRunLoopThread::stop() {
    if (!thread_.joinable()) return;
    const auto loop = runLoop();
    stopRequested_.store(true);
    // Queued rather than called: a `stop` that came before the loop's next `run` would be lost.
    loop->perform([loop] { loop->stop(); });
    thread_.join();
}

std::shared_ptr<platform::RunLoop> SRRunLoopThread::runLoop() {
    waitGroup_.wait();
    return runLoop_;
}

SRRunLoopThread& SR_networkThread() {
    static const char key = 0;
    const auto runtime = platform::Runtime::current();
    return *runtime->shared<SRRunLoopThread>(&key, [&] {
        auto created = std::make_shared<SRRunLoopThread>();
        created->start();
        // Runs are over by then; what the sockets still had queued is dropped.
        runtime->atShutdown(platform::Runtime::Stage::endThreads, [created] { created->stop(); });
        // Its queued work goes only once the worker threads, which may still schedule timers
        // and reads on it, have been joined.
        runtime->atShutdown(platform::Runtime::Stage::retireLoops, [created] {
            platform::RunLoopAccess::retire(created->runLoop());
        });
        return created;
    });
}

std::shared_ptr<platform::RunLoop> SR_networkRunLoop() {
    return SR_networkThread().runLoop();
}

}  // namespace varen
