// The platform layer: threads, semaphores and mutexes under real threads, files and folders
// on the real file system, and the log.
#include <gtest/gtest.h>
#include <omp.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <regex>
#include <thread>

#include "platform/exception.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/mutex.h"
#include "platform/processors.h"
#include "platform/semaphore.h"
#include "platform/thread.h"
#include "test_support.h"

namespace skv {
namespace {

using test::logLines;
using test::TempDir;

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
    std::atomic<int> runs{0}, policy{-1};
};

TEST(ThreadTest, RunsTheRunnableInItsSchedulingClassAndCanBeStartedAgainAfterItEnded) {
    GatedRunnable runnable;
    auto thread = Thread::create(&runnable);
    EXPECT_FALSE(thread->isRunning());
    EXPECT_FALSE(thread->join());  // never started
    // Unknown priorities give the default class.
    const std::pair<int, int> classes[] = {
        {kPriorityNormal, SCHED_OTHER}, {kPriorityIdle, SCHED_IDLE}, {7, SCHED_OTHER}};
    for (int round = 1; const auto& [priority, policy] : classes) {
        thread->start(priority);
        runnable.started.acquire();
        EXPECT_TRUE(thread->isRunning());
        runnable.finish.release();
        EXPECT_TRUE(thread->join());
        EXPECT_FALSE(thread->isRunning());
        EXPECT_EQ(runnable.runs, round++);
        EXPECT_EQ(runnable.policy, policy) << priority;
    }
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
    auto empty = Thread::create(nullptr);  // nothing to run: the thread ends at once
    empty->start(kPriorityNormal);
    EXPECT_TRUE(empty->join());
}

TEST(SemaphoreTest, CountsWakeWaitersDrainAndSaturate) {
    Semaphore semaphore;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] { semaphore.acquire(); });
    semaphore.release(3);  // wakes all three: else a join never returns
    for (auto& t : waiters)
        t.join();
    EXPECT_FALSE(semaphore.tryAcquire());
    semaphore.release(5);
    semaphore.drain();
    EXPECT_FALSE(semaphore.tryAcquire());
    semaphore.release(2);
    EXPECT_TRUE(semaphore.tryAcquire());
    EXPECT_TRUE(semaphore.tryAcquire());
    EXPECT_FALSE(semaphore.tryAcquire());
    semaphore.release(INT32_MAX);
    semaphore.release(10);  // saturates instead of overflowing
    semaphore.drain();
    EXPECT_FALSE(semaphore.tryAcquire());
}

class FilesTest : public ::testing::Test {
  protected:
    TempDir dir_;
};

TEST_F(FilesTest, OnlyRegularFilesOpenAndAClosedHandleFailsEveryOperation) {
    ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0644), 0);
    test::writeFile(dir_.file("file"), "x");
    // A FIFO without a writer would block an open for reading: it must be refused at once.
    for (const std::string& path : {dir_.file("missing"), dir_.path(), dir_.file("fifo"),
                                    std::string("/dev/null"), std::string()}) {
        FileHandle handle;
        EXPECT_FALSE(handle.openRead(path)) << path;
        if (path == dir_.file("missing")) continue;  // created by the modes that write
        EXPECT_FALSE(handle.openReadWrite(path)) << path;
        EXPECT_FALSE(handle.openWrite(path)) << path;
    }
    EXPECT_FALSE(FileHandle().openWrite(dir_.file("no/such/folder")));
    EXPECT_TRUE(FileHandle().openRead(dir_.file("file")));
    FileHandle closed;
    char buffer[4];
    EXPECT_EQ(closed.size() + closed.tell() + closed.lastWriteTime(), 0u);
    EXPECT_FALSE(closed.seek(0) || closed.truncate() || closed.sync());
    EXPECT_EQ(closed.read(buffer, 4) + closed.write("abcd", 4), 0u);
}

TEST_F(FilesTest, SeekWriteTruncateAndTheOpenModes) {
    FileHandle handle;
    ASSERT_TRUE(handle.openWrite(dir_.file("f")));
    EXPECT_TRUE(handle.seek(1000));  // beyond the end: the write extends the file
    EXPECT_EQ(handle.write("x", 1), 1u);
    EXPECT_EQ(handle.size(), 1001u);
    EXPECT_GT(handle.lastWriteTime(), 0u);
    ASSERT_TRUE(handle.openReadWrite(dir_.file("f")));  // keeps the contents
    EXPECT_EQ(handle.size(), 1001u);
    ASSERT_TRUE(handle.seek(0));
    ASSERT_EQ(handle.write("0123456789", 10), 10u);
    ASSERT_TRUE(handle.seek(4));
    EXPECT_TRUE(handle.truncate());
    EXPECT_TRUE(handle.sync());
    handle.close();
    EXPECT_EQ(test::readFile(dir_.file("f")), "0123");
    BinaryFile file;  // reads only whole requests
    char buffer[4];
    ASSERT_TRUE(file.openRead(dir_.file("f")));
    EXPECT_FALSE(file.read(buffer, 5) || file.write("y", 1));
    ASSERT_TRUE(file.seek(0));
    EXPECT_TRUE(file.read(buffer, 4));
    ASSERT_TRUE(handle.openWrite(dir_.file("f")));  // truncates
    EXPECT_EQ(handle.size(), 0u);
}

TEST_F(FilesTest, DirectoriesAreSetCreatedOneLevelAtATimeListedAndRemovedWhenEmpty) {
    test::writeFile(dir_.file("file"), "x");
    Directory directory;
    EXPECT_FALSE(directory.set(dir_.file("file")));
    EXPECT_FALSE(directory.set(dir_.file("missing")));
    EXPECT_FALSE(directory.create(dir_.file("a/b")));
    ASSERT_TRUE(directory.create(dir_.file("a")));
    EXPECT_FALSE(Directory().create(dir_.file("a")));  // already there
    test::writeFile(dir_.file("a/one"), "1");
    test::writeFile(dir_.file("a/two"), "2");
    std::vector<std::string> names{"stale"};
    directory.list(names);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"one", "two"}));
    EXPECT_TRUE(syncFolder(dir_.file("a")));
    EXPECT_FALSE(syncFolder(dir_.file("missing")));
    EXPECT_FALSE(removeFolder(dir_.file("a")));  // not empty
}

TEST_F(FilesTest, DeleteTreeRemovesReadOnlyEntriesAndLinksButNeverWhatTheyPointTo) {
    const std::string outside = dir_.file("outside"), root = dir_.file("tree");
    for (const std::string& folder : {outside, root, root + "/sub", root + "/sub/deeper"})
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    test::writeFile(outside + "/precious", "keep me");
    test::writeFile(root + "/readonly", "r");
    test::writeFile(root + "/sub/deeper/b", "b");
    ASSERT_EQ(::chmod((root + "/readonly").c_str(), 0444), 0);
    ASSERT_EQ(::chmod((root + "/sub/deeper").c_str(), 0555), 0);  // a read-only folder
    ASSERT_EQ(::symlink(outside.c_str(), (root + "/sub/link-to-folder").c_str()), 0);
    ASSERT_EQ(::symlink((outside + "/precious").c_str(), (root + "/link-to-file").c_str()), 0);
    EXPECT_TRUE(deleteTree(root));
    EXPECT_FALSE(Directory().set(root));
    EXPECT_EQ(test::readFile(outside + "/precious"), "keep me");
    // A link given as the tree itself is removed, its target left alone.
    ASSERT_EQ(::symlink(outside.c_str(), root.c_str()), 0);
    EXPECT_TRUE(deleteTree(root));
    EXPECT_EQ(test::readFile(outside + "/precious"), "keep me");
    // Nothing to delete, or a file: false, and the file stays.
    EXPECT_FALSE(deleteTree(dir_.file("missing")) || deleteTree(""));
    EXPECT_FALSE(deleteTree(outside + "/precious"));
    EXPECT_TRUE(fileExists(outside + "/precious"));
}

TEST_F(FilesTest, RenameReplacesAtomicallyAndMoveWorksAcrossFileSystems) {
    test::writeFile(dir_.file("a"), "A");
    test::writeFile(dir_.file("b"), "B");
    bool same = false;
    EXPECT_TRUE(renameFile(dir_.file("a"), dir_.file("b")));
    EXPECT_FALSE(fileExists(dir_.file("a")));
    EXPECT_EQ(test::readFile(dir_.file("b")), "A");
    EXPECT_TRUE(sameFile(dir_.file("b"), dir_.path() + "/./b", same) && same);
    int error = -1;
    EXPECT_TRUE(moveFile(dir_.file("b"), dir_.file("c"), error));
    EXPECT_EQ(error, 0);
    EXPECT_FALSE(moveFile(dir_.file("b"), dir_.file("d"), error));
    EXPECT_EQ(error, ENOENT);

    const std::string other = dir_.file("other");
    ASSERT_EQ(::mkdir(other.c_str(), 0755), 0);
    test::TmpfsMount mount(other, "1m");
    if (!mount.mounted()) GTEST_SKIP() << "no second file system: " << mount.error();
    test::writeFile(other + "/c", "old");  // the copy path: no rename between file systems
    EXPECT_TRUE(moveFile(dir_.file("c"), other + "/c", error)) << error;
    EXPECT_EQ(test::readFile(other + "/c"), "A");
    EXPECT_FALSE(fileExists(dir_.file("c")));
    std::vector<std::string> names;  // and nothing half-copied beside it
    Directory folder;
    EXPECT_TRUE(folder.set(other));
    folder.list(names);
    EXPECT_EQ(names, std::vector<std::string>{"c"});
}

TEST_F(FilesTest, TemporaryFoldersAreUniqueCarryThePrefixAndFollowTheEnvironment) {
    const std::string a = makeTemporaryFolder("skv", dir_.path());
    const std::string b = makeTemporaryFolder("skv", dir_.path());
    EXPECT_NE(a, b);
    EXPECT_TRUE(a.starts_with(dir_.path() + "/skv") && Directory().set(a)) << a;

    EXPECT_EQ(profileFolder(), std::getenv("HOME"));
    const char* saved = std::getenv("TMPDIR");
    const std::string savedValue = saved ? saved : "";
    ::setenv("TMPDIR", (dir_.path() + "/").c_str(), 1);
    EXPECT_EQ(tempPath(), dir_.path());
    ::setenv("TMPDIR", dir_.file("missing").c_str(), 1);
    EXPECT_EQ(tempPath(), "/tmp");
    saved ? ::setenv("TMPDIR", savedValue.c_str(), 1) : ::unsetenv("TMPDIR");
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = std::getenv("HOME");
        restartLog();
    }
    void TearDown() override {
        ::setenv("HOME", home_.c_str(), 1);
        restartLog();
    }
    std::string home_;
};

// An unwritable profile folder loses lines without failing; the next line tries again, and
// the first line written truncates what an earlier process left.
TEST_F(LogTest, TheFirstLineWrittenTruncatesTheFileInTheProfileFolderAndLaterLinesAppend) {
    EXPECT_EQ(logFilePath(), home_ + "/skyvane.log");
    test::writeFile(logFilePath(), "a line of an earlier process\n");
    ::setenv("HOME", "/nonexistent/skyvane/home", 1);
    restartLog();
    log(LogChannel::Error, "lost");
    ::setenv("HOME", home_.c_str(), 1);
    log(LogChannel::Info, "first");
    SKV_LOG(Debug, "second " << 42 << ' ' << 1.5);
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].ends_with("] first"));
    EXPECT_TRUE(lines[1].ends_with("] second 42 1.5"));
}

TEST_F(LogTest, ATracedMutexLogsOneLinePerLockAndUnlockWithUnlockBeforeRelease) {
    test::freshLog();
    Mutex traced(true);
    constexpr int kRounds = 250;  // with the lines of the other tests, within the burst
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
    // Every line whole, and lines alternate strictly: an "unlocked" written after the release could
    // let the other thread's "locked" line in first.
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, format)) << lines[i];
        ASSERT_EQ(m[1], i % 2 == 0 ? "locked" : "unlocked") << "line " << i;
    }
}

// Teams follow the processors other programs leave: with twice as many busy processes as
// processors, a frame gets one thread, and the thread's own limit comes back after it.
TEST(ThreadTeamTest, ATeamShrinksToTheIdleProcessorsAndTheLimitComesBack) {
    const int available = availableProcessors();
    EXPECT_GE(available, 1);
    EXPECT_LE(available, omp_get_num_procs());
    omp_set_num_threads(available);
    std::vector<pid_t> busy;
    for (int k = 0; k < 2 * available + 1; ++k)
        if (const pid_t child = fork(); child == 0) {
            volatile uint64_t spin = 0;
            for (;;)
                spin = spin + 1;
        } else if (child > 0) {
            busy.push_back(child);
        }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // all of them running
    int least = available;
    for (int sample = 0; sample < 20; ++sample)
        least = std::min(least, ThreadTeam().threads());
    for (const pid_t child : busy) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    EXPECT_EQ(least, 1);
    EXPECT_EQ(omp_get_max_threads(), available);
    EXPECT_GE(idleProcessors(), 1);
}

// Last: it empties the bucket of lines for the rest of the process.
TEST_F(LogTest, ALoopThatLogsEveryIterationIsRateLimitedAndTheDropIsCounted) {
    for (int i = 0; i < 20000; ++i)
        log(LogChannel::Debug, "sub-step " + std::to_string(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log(LogChannel::Info, "after the loop");
    const auto lines = logLines();
    EXPECT_LT(lines.size(), 2100u);
    uint64_t dropped = 0, written = 0;
    const std::regex note(R"(\] ([0-9]+) log lines dropped \(more than 200 a second\)$)");
    for (const auto& line : lines) {
        std::smatch m;
        if (std::regex_search(line, m, note))
            dropped += std::stoul(m[1]);
        else
            ++written;
    }
    EXPECT_GT(dropped, 17000u);
    EXPECT_EQ(dropped + written, 20001u) << "every line is written or counted";
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().ends_with("] after the loop"));
}

}  // namespace
}  // namespace skv
