#include "platform/thread.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <regex>
#include <thread>

#include "platform/exception.h"
#include "platform/log.h"
#include "platform/mutex.h"
#include "platform/semaphore.h"
#include "platform/timer.h"
#include "test_support.h"

namespace skv {
namespace {

// Runs until told to finish, so a test can look at a thread that is still running.
class GatedRunnable : public Runnable {
public:
    void run() override {
        started.release();
        finish.acquire();
        runs++;
        policy = sched_getscheduler(0);
    }
    Semaphore started, finish;
    std::atomic<int> runs{0};
    std::atomic<int> policy{-1};
};

TEST(ThreadTest, NeverStartedThreadIsNotRunningAndCannotBeJoined) {
    GatedRunnable runnable;
    auto thread = Thread::create(&runnable);
    EXPECT_FALSE(thread->isRunning());
    EXPECT_FALSE(thread->join());
    thread->terminate();  // without a handle: nothing
    EXPECT_EQ(runnable.runs, 0);
}

TEST(ThreadTest, RunsTheRunnableAndCanBeStartedAgainAfterItEnded) {
    GatedRunnable runnable;
    auto thread = Thread::create(&runnable);
    for (int round = 1; round <= 2; ++round) {
        thread->start(kPriorityNormal);
        runnable.started.acquire();
        EXPECT_TRUE(thread->isRunning());
        runnable.finish.release();
        EXPECT_TRUE(thread->join());
        EXPECT_FALSE(thread->isRunning());
        EXPECT_EQ(runnable.runs, round);
    }
}

TEST(ThreadTest, IdlePriorityGivesTheIdleSchedulingClassAndUnknownValuesTheDefault) {
    GatedRunnable runnable;
    auto thread = Thread::create(&runnable);
    runnable.finish.release();
    thread->start(kPriorityIdle);
    ASSERT_TRUE(thread->join());
    EXPECT_EQ(runnable.policy, SCHED_IDLE);

    runnable.finish.release();
    thread->start(7);
    ASSERT_TRUE(thread->join());
    EXPECT_EQ(runnable.policy, SCHED_OTHER);
}

TEST(ThreadTest, ThreadEntryLogsMisuse) {
    test::freshLog();
    EXPECT_EQ(ThreadEntry(nullptr), 0u);
    EXPECT_TRUE(test::logHasLine("ThreadEntry called with null pointer"));

    auto empty = Thread::create(nullptr);
    EXPECT_EQ(ThreadEntry(empty.get()), 0u);
    empty->start(kPriorityNormal);
    EXPECT_TRUE(empty->join());
    EXPECT_EQ(test::logCount("ThreadEntry called with empty runnable"), 2);
}

TEST(ThreadTest, TerminateStopsACooperatingRunnable) {
    struct Spinner : Runnable {
        void run() override {
            started.release();
            while (!Thread::terminateRequested()) std::this_thread::yield();
        }
        Semaphore started;
    } spinner;
    auto thread = Thread::create(&spinner);
    thread->start(kPriorityLowest);
    spinner.started.acquire();
    thread->terminate();
    EXPECT_FALSE(thread->isRunning());
}

TEST(ThreadTest, WorkerOwnsTheThreadThatRunsIt) {
    struct Counter : Worker {
        void run() override { ranOn = std::this_thread::get_id(); }
        void go() {
            thread().start(kPriorityNormal);
            thread().join();
        }
        std::thread::id ranOn;
    } worker;
    worker.go();
    EXPECT_NE(worker.ranOn, std::thread::id());
    EXPECT_NE(worker.ranOn, std::this_thread::get_id());
}

TEST(ThreadTest, AnExceptionEscapingRunIsLoggedNotFatal) {
    struct Thrower : Runnable {
        void run() override { throw Exception("boom"); }
    } thrower;
    test::freshLog();
    auto thread = Thread::create(&thrower);
    thread->start(kPriorityNormal);
    EXPECT_TRUE(thread->join());
    EXPECT_TRUE(test::logContains("boom"));
}

TEST(SemaphoreTest, DrainTakesEveryCount) {
    Semaphore semaphore;
    EXPECT_FALSE(semaphore.tryAcquire());
    semaphore.release(5);
    semaphore.drain();
    EXPECT_FALSE(semaphore.tryAcquire());
    semaphore.release(2);
    EXPECT_TRUE(semaphore.tryAcquire());
    EXPECT_TRUE(semaphore.tryAcquire());
    EXPECT_FALSE(semaphore.tryAcquire());
}

TEST(SemaphoreTest, ReleaseOfNWakesNWaiters) {
    Semaphore semaphore, done;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            semaphore.acquire();
            done.release();
        });
    semaphore.release(3);
    for (int i = 0; i < 3; ++i) done.acquire();
    for (auto& t : waiters) t.join();
    EXPECT_FALSE(semaphore.tryAcquire());
}

TEST(SemaphoreTest, CountSaturatesAtTheLargestSignedInt) {
    Semaphore semaphore;
    semaphore.release(INT32_MAX);
    semaphore.release(10);
    semaphore.drain();
    EXPECT_FALSE(semaphore.tryAcquire());
}

TEST(MutexTest, TracedMutexLogsOneLinePerLockAndUnlockWithUnlockBeforeRelease) {
    test::freshLog();
    Mutex traced(true);
    constexpr int kRounds = 500;
    auto hammer = [&] {
        for (int i = 0; i < kRounds; ++i) {
            traced.lock();
            traced.unlock();
        }
    };
    std::thread a(hammer), b(hammer);
    a.join();
    b.join();
    const auto lines = test::logLines();
    ASSERT_EQ(lines.size(), size_t(4 * kRounds));
    const std::regex format(R"(^\[[0-9.]+\] Mutex 0x[0-9a-f]+ (locked|unlocked)$)");
    // Lines alternate strictly: an "unlocked" written after the release could let the other
    // thread's "locked" line in first.
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, format)) << lines[i];
        ASSERT_EQ(m[1], i % 2 == 0 ? "locked" : "unlocked") << "line " << i;
    }
}

TEST(MutexTest, UntracedMutexLogsNothingAndScopedLockReleases) {
    test::freshLog();
    Mutex mutex;
    {
        ScopedLock lock(&mutex);
        EXPECT_FALSE(mutex.tryLock());
    }
    EXPECT_TRUE(mutex.tryLock());
    mutex.unlock();
    {
        ScopedLock notLocking(&mutex, false);
        EXPECT_TRUE(mutex.tryLock());
        mutex.unlock();
    }
    EXPECT_TRUE(test::logLines().empty());
}

TEST(TimerTest, MeasuresElapsedTimeAndRestarts) {
    Timer timer;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double first = timer.elapsed();
    EXPECT_GE(first, 0.015);
    Timer later;  // started after `timer` was, so restarting `timer` now puts it behind
    timer.restart();
    const double sinceRestart = timer.elapsed();
    EXPECT_LE(sinceRestart, later.elapsed());
}

}  // namespace
}  // namespace skv
