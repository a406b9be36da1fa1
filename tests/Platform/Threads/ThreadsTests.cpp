#include "varenstt/Platform/DispatchQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Platform/Threads/SharedSlot.h"
#include "Support/TestSupport.h"
#include "varenstt/Platform/OperationQueue.h"
#include "varenstt/Platform/RunLoop.h"
#include "varenstt/Platform/Timer.h"

using namespace std::chrono_literals;
using namespace varen::platform;
using varen::test::runMainLoopUntil;

namespace {

// Runs the loop until a timer scheduled now has fired three times at `interval`: by then a
// timer of that interval scheduled earlier has had its turns too.
void runThreeIntervals(const std::shared_ptr<RunLoop>& loop, RunLoop::Duration interval) {
    int firings = 0;
    auto probe = Timer::scheduledTimer(
        interval, true, [&](Timer&) { ++firings; }, loop);
    EXPECT_TRUE(loop->runUntil([&] { return firings >= 3; }, 20s));
    probe->invalidate();
}

}  // namespace

TEST(SerialQueue, RunsTasksOneAtATimeInOrderUnderConcurrentSubmitters) {
    auto queue = DispatchQueue::create("serial");
    constexpr int kSubmitters = 4;
    constexpr int kTasks = 500;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::mutex orderMutex;
    std::vector<std::vector<int>> seen(kSubmitters);
    DispatchGroup group;

    std::vector<std::thread> submitters;
    for (int s = 0; s < kSubmitters; ++s) {
        submitters.emplace_back([&, s] {
            for (int i = 0; i < kTasks; ++i) {
                group.enter();
                queue->async([&, s, i] {
                    if (inside.fetch_add(1) != 0) overlapped = true;
                    {
                        std::lock_guard lock(orderMutex);
                        seen[s].push_back(i);
                    }
                    inside.fetch_sub(1);
                    group.leave();
                });
            }
        });
    }
    for (auto& t : submitters) t.join();
    ASSERT_TRUE(group.waitFor(20s));
    EXPECT_FALSE(overlapped);
    for (const auto& perSubmitter : seen) {
        ASSERT_EQ(perSubmitter.size(), static_cast<size_t>(kTasks));
        for (int i = 0; i < kTasks; ++i) EXPECT_EQ(perSubmitter[i], i);
    }
}

TEST(SerialQueue, AfterDoesNotRunEarly) {
    auto queue = DispatchQueue::create();
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> ran{false};
    std::chrono::steady_clock::duration elapsed{};
    DispatchGroup group;
    group.enter();
    queue->after(150ms, [&] {
        elapsed = std::chrono::steady_clock::now() - start;
        ran = true;
        group.leave();
    });
    ASSERT_TRUE(group.waitFor(10s));
    EXPECT_TRUE(ran);
    EXPECT_GE(elapsed, 150ms);
}

TEST(SerialQueue, QueueSpecificValueIsSeenOnlyOnItsQueue) {
    static int key;
    auto queue = DispatchQueue::create();
    auto other = DispatchQueue::create();
    queue->setSpecific(&key, queue.get());
    void* onQueue = nullptr;
    void* onOther = &key;
    bool isCurrentOnQueue = false;
    queue->sync([&] {
        onQueue = DispatchQueue::getSpecific(&key);
        isCurrentOnQueue = queue->isCurrent();
    });
    other->sync([&] { onOther = DispatchQueue::getSpecific(&key); });
    EXPECT_EQ(onQueue, queue.get());
    EXPECT_TRUE(isCurrentOnQueue);
    EXPECT_EQ(onOther, nullptr);
    EXPECT_EQ(DispatchQueue::getSpecific(&key), nullptr);
    EXPECT_FALSE(queue->isCurrent());
}

TEST(MainQueue, RunsOnTheThreadRunningTheMainLoop) {
    std::thread::id ranOn;
    bool wasCurrent = false;
    DispatchQueue::main()->async([&] {
        ranOn = std::this_thread::get_id();
        wasCurrent = DispatchQueue::main()->isCurrent() && RunLoop::main()->isCurrent();
    });
    ASSERT_TRUE(runMainLoopUntil([&] { return ranOn != std::thread::id(); }));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(wasCurrent);
    EXPECT_FALSE(DispatchQueue::main()->isCurrent());
}

TEST(RepeatingTimer, FiresOnItsLoopThreadUntilInvalidatedAndNeverAfter) {
    auto loop = RunLoop::main();
    std::atomic<int> firings{0};
    std::atomic<bool> wrongThread{false};
    const auto mainThread = std::this_thread::get_id();
    auto timer = Timer::scheduledTimer(
        5ms, true,
        [&](Timer&) {
            if (std::this_thread::get_id() != mainThread) wrongThread = true;
            ++firings;
        },
        loop);
    ASSERT_TRUE(runMainLoopUntil([&] { return firings >= 5; }));
    timer->invalidate();
    const int atInvalidation = firings;
    runThreeIntervals(loop, 5ms);
    EXPECT_EQ(firings, atInvalidation);
    EXPECT_FALSE(wrongThread);
    EXPECT_FALSE(timer->isValid());
}

TEST(RepeatingTimer, InvalidatedFromAnotherThreadStopsFiring) {
    std::atomic<int> firings{0};
    auto timer = Timer::scheduledTimer(
        2ms, true, [&](Timer&) { ++firings; }, RunLoop::main());
    std::atomic<int> afterInvalidate{-1};
    std::thread stopper([&] {
        while (firings < 3) std::this_thread::sleep_for(1ms);
        timer->invalidate();
        afterInvalidate = firings.load();
    });
    ASSERT_TRUE(runMainLoopUntil([&] { return afterInvalidate >= 0; }));
    stopper.join();
    runThreeIntervals(RunLoop::main(), 2ms);
    EXPECT_EQ(firings, afterInvalidate);
}

TEST(OneShotTimer, FiresOnceAndMayInvalidateItselfInside) {
    int firings = 0;
    auto timer = Timer::scheduledTimer(1ms, false, [&](Timer& t) {
        ++firings;
        t.invalidate();
    });
    // The timer was scheduled on this thread's current loop, which is not the main loop.
    auto loop = RunLoop::current();
    loop->runUntil([&] { return firings > 0; }, 5s);
    runThreeIntervals(loop, 1ms);
    EXPECT_EQ(firings, 1);
}

TEST(Operations, RunOnBackgroundThreadsAndSeeTheirCancelFlag) {
    auto queue = OperationQueue::create();
    std::atomic<bool> sawCancel{false};
    std::atomic<bool> started{false};
    std::thread::id ranOn;
    class Loop : public Operation {
      public:
        Loop(std::atomic<bool>& started, std::atomic<bool>& sawCancel, std::thread::id& ranOn)
            : started_(started), sawCancel_(sawCancel), ranOn_(ranOn) {}
        void main() override {
            ranOn_ = std::this_thread::get_id();
            started_ = true;
            while (!isCancelled()) std::this_thread::sleep_for(1ms);
            sawCancel_ = true;
        }

      private:
        std::atomic<bool>& started_;
        std::atomic<bool>& sawCancel_;
        std::thread::id& ranOn_;
    };
    auto operation = std::make_shared<Loop>(started, sawCancel, ranOn);
    queue->addOperation(operation);
    while (!started) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(queue->operations().size(), 1u);
    queue->cancelAllOperations();
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(sawCancel);
    EXPECT_TRUE(operation->isFinished());
    EXPECT_NE(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(queue->operations().empty());
}

TEST(Operations, NeverRunMoreAtOnceThanTheLimitNorOnMoreThreads) {
    auto queue = OperationQueue::create();
    queue->setMaxConcurrentOperationCount(2);
    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0, peak = 0;
    bool release = false;
    std::set<std::thread::id> threads;
    for (int i = 0; i < 8; ++i) {
        queue->addOperationWithBlock([&] {
            std::unique_lock lock(mutex);
            threads.insert(std::this_thread::get_id());
            peak = std::max(peak, ++inside);
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
            --inside;
        });
    }
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return inside == 2; });
        release = true;
        changed.notify_all();
    }
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(peak, 2);
    EXPECT_LE(threads.size(), 2u);
}

TEST(Operations, WithOneAtATimeRunInOrder) {
    auto queue = OperationQueue::create();
    queue->setMaxConcurrentOperationCount(1);
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 20; ++i) {
        queue->addOperationWithBlock([&, i] {
            if (inside.fetch_add(1) != 0) overlapped = true;
            std::this_thread::sleep_for(1ms);
            {
                std::lock_guard lock(mutex);
                order.push_back(i);
            }
            inside.fetch_sub(1);
        });
    }
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);
}

TEST(Operations, CancelledBeforeStartDoesNotRun) {
    auto queue = OperationQueue::create();
    queue->setMaxConcurrentOperationCount(1);
    std::atomic<bool> release{false};
    std::atomic<bool> secondRan{false};
    queue->addOperationWithBlock([&] {
        while (!release) std::this_thread::sleep_for(1ms);
    });
    auto second = std::make_shared<BlockOperation>([&] { secondRan = true; });
    queue->addOperation(second);
    second->cancel();
    release = true;
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_FALSE(secondRan);
    EXPECT_TRUE(second->isFinished());
}

// One thread replaces what another keeps reading (the current connection while audio is sent):
// every read sees a whole pointer, and the thread sanitizer finds both sides ordered.
TEST(SharedSlots, AReaderAndAReplacerNeedNoOtherLock) {
    SharedSlot<int> slot;
    slot.store(std::make_shared<int>(0));
    std::thread replacer([&] {
        for (int i = 1; i <= 2000; ++i) slot.store(std::make_shared<int>(i));
    });
    int last = 0;
    while (last < 2000) {
        const int seen = *slot.load();
        ASSERT_GE(seen, last) << "a read went back in time";
        last = seen;
    }
    replacer.join();
    EXPECT_EQ(*slot.exchange(nullptr), 2000);
    EXPECT_EQ(slot.load(), nullptr);
}
