#include "cache/frame_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "cache/cache_directory.h"
#include "cache/grid_file.h"
#include "frame_helpers.h"
#include "grid_test_support.h"
#include "platform/semaphore.h"

namespace skv {
namespace {

using test::frameMatches;
using test::frameName;
using test::kH;
using test::kW;
using test::TempDir;
using test::writeFrame;
using FrameStoreTest = test::StoreTest;

// Bytes of one frame of fillFrame at kW x kH: density, u and v.
constexpr uint64_t kFrameBytes = (kW * kH + (kW + 1) * kH + kW * (kH + 1)) * sizeof(float);

// A frame of one density grid; without a cache directory nothing is saved.
void writeSizedFrame(BFS& store, int32_t number, uint32_t width, uint32_t height) {
    CacheWriteGuard guard(&store);
    CacheFrame* frame = guard.begin(number);
    ASSERT_NE(frame, nullptr);
    EXPECT_FALSE(frame->addGrid(FloatGrid(2, 2), 0, {0, 0, 0}));  // no such grid type
    EXPECT_FALSE(frame->addGrid(FloatGrid(2, 2), 24, {0, 0, 0}));
    EXPECT_TRUE(frame->addGrid(FloatGrid(width, height), 2, {0, 0, 0}));
    EXPECT_EQ(frame->gridCount(), 1);
}

TEST_F(FrameStoreTest, TheWindowFollowsTheFramesWrittenAndSavesTheFramesItDrops) {
    struct Case {
        uint64_t budgetFrames;  // 0: the budget of a new store, two frames
        std::vector<int32_t> written, window, dropped;
    };
    const Case cases[] = {
        {0, {0, 1, 2}, {1, 2}, {0}},
        {0, {10, 11, 5}, {5, -1}, {10, 11}},
        {8, {10, 11, 12, 4}, {4, -1, -1, -1, -1, -1, 10, 11}, {12}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "last frame written " << c.written.back());
        TempDir dir;
        BFS store;
        useFolder(store, dir.path());
        if (c.budgetFrames) store.setMemoryBudget(c.budgetFrames * kFrameBytes);
        for (int32_t f : c.written)
            writeFrame(store, f);
        EXPECT_EQ(store.windowContents(), c.window);
        for (int32_t f : c.dropped)
            EXPECT_TRUE(expectFrame(store, f, true)) << f;  // read back from its file
    }
}

TEST_F(FrameStoreTest, ThePoolFollowsTheBudgetBetweenTwoFramesAndItsBound) {
    struct Step {
        uint64_t budget;
        uint32_t w, h;
        int frames;
        size_t pool;
    };
    const std::vector<Step> runs[] = {
        {{10u << 20, 512, 512, 5, 10}, {0, 512, 512, 1, 2}, {0, 512, 512, 1, 2}},  // 1 MiB
        {{40u << 20, 1024, 2560, 1, 4}, {100u << 20, 1024, 2560, 1, 10}},          // 10 MiB
        {{uint64_t(1) << 40, 1, 1, 1, BFS::kMaxPoolFrames}},
    };
    for (const auto& steps : runs) {
        BFS store;
        int32_t next = 0;
        for (const Step& s : steps) {
            SCOPED_TRACE(testing::Message() << "budget " << s.budget << ", frame " << next);
            store.setMemoryBudget(s.budget);
            for (int i = 0; i < s.frames; ++i)
                writeSizedFrame(store, next++, s.w, s.h);
            EXPECT_EQ(store.poolSize(), s.pool);
        }
    }
}

TEST_F(FrameStoreTest, FramesOnDiskAreReadBackAndTheWorkerReadsAheadIntoTheWindow) {
    BFS store;
    useFolder(store, dir_.path());
    for (int32_t f = 0; f < 10; ++f)
        writeFrame(store, f);
    store.resetBuffer(true, true);  // the dirty frames saved, nothing left in RAM
    EXPECT_EQ(store.windowStart(), 0);
    EXPECT_EQ(store.windowContents(), (std::vector<int32_t>{-1, -1}));
    for (int32_t f : {0, 1, 7})
        EXPECT_TRUE(expectFrame(store, f, true)) << f;
    // The window moved to 6..7; the worker fills its empty position on its own.
    for (int i = 0; i < 60000 && store.windowContents() != std::vector<int32_t>{6, 7}; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(store.windowContents(), (std::vector<int32_t>{6, 7}));
    EXPECT_TRUE(expectFrame(store, 6, false));
    EXPECT_TRUE(expectFrame(store, 8, true));  // in RAM when the buffer was reset
}

TEST_F(FrameStoreTest, MissingOrCorruptFrameFilesAreNotAvailableAndNeverServedTorn) {
    BFS store;
    useFolder(store, dir_.path());
    for (int32_t f = 0; f < 3; ++f)
        writeFrame(store, f);
    store.resetBuffer(true, true);
    const std::string good = test::readFile(store.frameFileName(1));
    std::string badTrailer = good, badType = good;
    badTrailer[good.size() - 1] ^= 0x40;
    badType[GridFile::kHeaderSize + 4] = 0;
    {
        GridFile file;  // whole grids, but not of one frame: readers index one by another
        ASSERT_TRUE(file.openForWriting(dir_.file("mixed"), true));
        ASSERT_TRUE(file.writeGrid(2, kCodecRunLength, test::frameTime(1), {}, FloatGrid(kW, kH)));
        ASSERT_TRUE(file.writeGrid(5, kCodecRunLength, test::frameTime(1), {}, FloatGrid(3, 3)));
    }
    const std::pair<const char*, std::string> cases[] = {
        {"cut in a payload", good.substr(0, good.size() / 2)},
        {"trailer unlike its length", badTrailer},
        {"grid type 0", badType},
        {"grids of different sizes", test::readFile(dir_.file("mixed"))},
        {"deleted", ""},
    };
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        if (bytes.empty())
            ASSERT_TRUE(removeFile(store.frameFileName(1)));
        else
            test::writeFile(store.frameFileName(1), bytes);
        EXPECT_FALSE(expectFrame(store, 1, true));
        const auto window = store.windowContents();
        EXPECT_EQ(std::count(window.begin(), window.end(), 1), 0);
        EXPECT_TRUE(expectFrame(store, 2, true));
    }
    test::writeFile(store.frameFileName(1), good);
    EXPECT_TRUE(expectFrame(store, 1, true));
}

TEST_F(FrameStoreTest, AUserCacheReceivesEveryFrameStillInRamWhenTheStoreGoes) {
    constexpr int32_t kFrames = 40;
    {
        BFS store;
        useFolder(store, dir_.path());
        store.setMemoryBudget(64 << 20);
        // Written faster than the worker saves them (one per pass): many are still dirty
        // when the store goes.
        for (int32_t f = 0; f < kFrames; ++f)
            writeFrame(store, f, 64, 64);
    }
    BFS reader;
    useFolder(reader, dir_.path());
    EXPECT_TRUE(reader.holdsFrames());  // on disk only
    for (int32_t f = 0; f < kFrames; ++f)
        EXPECT_TRUE(expectFrame(reader, f, true, 64, 64)) << f;
}

// ---- Threads ----

// A reader holds frame 0 (asking for it again is refused, not a deadlock) while the writer
// moves the window far past it: the frame it holds stays intact, its release frees the lock
// it took, and the frames now in the window are free.
TEST_F(FrameStoreTest, AHoldSurvivesWindowShiftsAndReleasesTheLockItTook) {
    BFS store;
    useFolder(store, dir_.path());
    writeFrame(store, 0);
    writeFrame(store, 1);
    Semaphore holding, shifted;
    test::runWithWatchdog(60, [&] {
        std::thread reader([&] {
            CacheFrameGuard guard(&store, 0, true);
            ASSERT_NE(guard.frame(), nullptr);
            EXPECT_EQ(CacheFrameGuard(&store, 0, true).frame(), nullptr);  // refused, no deadlock
            holding.release();
            shifted.acquire();
            std::string why;
            EXPECT_TRUE(frameMatches(*guard.frame(), 0, kW, kH, &why)) << why;
        });
        holding.acquire();
        for (int32_t f = 2; f < 8; ++f)
            writeFrame(store, f);
        {
            // Read at once: until a frame in the window is asked for, the I/O worker may read
            // the reader's frame 0 back in as the one last asked for.
            CacheFrameGuard seven(&store, 7, false);
            EXPECT_NE(seven.frame(), nullptr);
            EXPECT_EQ(store.windowContents(), (std::vector<int32_t>{6, 7}));
            EXPECT_TRUE(expectFrame(store, 6, false));
        }
        shifted.release();
        reader.join();
    });
    test::runWithWatchdog(60, [&] {
        for (int32_t f : {6, 7, 0})
            EXPECT_TRUE(expectFrame(store, f, true)) << f;
        writeFrame(store, 0);  // the position frame 0 held is free for a writer too
    });
}

// The writer's frame is evicted while it is being filled (a reader's frame from disk shifts
// the window past it): the fill goes on undisturbed and the frame reaches its file.
TEST_F(FrameStoreTest, AFrameEvictedWhileBeingWrittenIsStillSaved) {
    BFS store;
    useFolder(store, dir_.path());
    for (int32_t f = 0; f < 4; ++f)
        writeFrame(store, f);
    store.resetBuffer(true, true);
    test::runWithWatchdog(60, [&] {
        CacheWriteGuard writer(&store);
        CacheFrame* frame = writer.begin(10);
        ASSERT_NE(frame, nullptr);
        std::thread reader([&] { EXPECT_TRUE(expectFrame(store, 2, true)); });
        reader.join();
        const auto window = store.windowContents();
        EXPECT_EQ(std::count(window.begin(), window.end(), 10), 0);
        test::fillFrame(*frame, 10, kW, kH);
    });
    test::runWithWatchdog(60, [&] { EXPECT_TRUE(expectFrame(store, 10, true)); });
    store.flush();
    EXPECT_TRUE(fileExists(store.frameFileName(10)));
}

// A reader waits for a frame that must come from disk while the simulation has just written
// many frames the worker still has to save, one per pass.
TEST_F(FrameStoreTest, AReaderWaitingForDiskIsServedWhileDirtyFramesRemain) {
    BFS store;
    useFolder(store, dir_.path());
    store.setMemoryBudget(64 << 20);
    writeFrame(store, 100, 256, 256);
    store.resetBuffer(true, true);
    for (int32_t f = 0; f < 30; ++f)
        writeFrame(store, f, 256, 256);
    test::runWithWatchdog(60, [&] { EXPECT_TRUE(expectFrame(store, 100, true, 256, 256)); });
}

// ---- Failing storage ----

struct FailingOperation {
    std::string name;
    bool write;  // of saving frame 0, else of reading frame 1 back
    uint64_t n;  // the how-manieth file operation of it; one past the last fails nothing of it
};

// Saving a frame: the partial file opened and its header written; per grid the file cut at
// the chunk, then its fixed fields, payload and trailer written; the partial file synced and
// renamed into place. Reading one: the file opened and its header read twice (a probe, then
// the load); per grid its chunk header, fixed fields, payload and trailer read.
std::vector<FailingOperation> failingOperations() {
    const char* const grids[] = {"density", "u", "v"};
    std::vector<std::string> save = {"open_partial_file", "write_file_header"}, read;
    for (const std::string twice : {"probe_", "load_"})
        for (const char* what : {"open", "read_file_header"})
            read.push_back(twice + what);
    for (const std::string grid : grids) {
        for (const char* what : {"_truncate", "_write_fields", "_write_payload", "_write_trailer"})
            save.push_back(grid + what);
        for (const char* what : {"_chunk_header", "_fields", "_payload", "_trailer"})
            read.push_back(grid + "_read" + what);
    }
    save.insert(save.end(), {"sync", "rename_into_place", "past_the_last"});
    read.push_back("past_the_last");
    std::vector<FailingOperation> table;
    for (size_t i = 0; i < save.size(); ++i)
        table.push_back({"save_" + save[i], true, i + 1});
    for (size_t i = 0; i < read.size(); ++i)
        table.push_back({"read_" + read[i], false, i + 1});
    return table;
}

class FailingStorageTest
    : public test::StoreTest,
      public ::testing::WithParamInterface<std::tuple<FailingOperation, bool>> {};

// A failed save loses the frame visibly (it stays in RAM, counted as lost, with no file or
// partial file left under its name); a failed read serves nothing rather than a torn frame
// and leaves the store working.
TEST_P(FailingStorageTest, TheFailureIsVisibleAndNothingTornRemains) {
    const auto& [operation, persistent] = GetParam();
    const bool last = operation.name.ends_with("past_the_last");
    if (operation.write) {
        BFS store;
        useFolder(store, dir_.path());
        const std::string name = store.frameFileName(0);
        fileFaults::failOperation(operation.n, persistent);
        writeFrame(store, 0);
        store.flush();
        EXPECT_TRUE(expectFrame(store, 0, false));  // still in RAM
        fileFaults::clear();
        EXPECT_EQ(store.lostFrames(), last ? 0u : 1u);
        EXPECT_EQ(fileExists(name), last);
        EXPECT_TRUE(persistent || !fileExists(name + ".tmp"));
        useFolder(store, dir_.path());  // reopening cleans what could not be removed
        EXPECT_FALSE(fileExists(name + ".tmp"));
        if (last) {
            store.resetBuffer(true, true);
            EXPECT_TRUE(expectFrame(store, 0, true));
        }
        return;
    }
    {
        BFS writer;
        useFolder(writer, dir_.path());
        for (int32_t f = 0; f < 3; ++f)
            writeFrame(writer, f);
    }
    BFS store;
    useFolder(store, dir_.path());
    fileFaults::failOperation(operation.n, persistent);
    bool served = false;
    test::runWithWatchdog(60, [&] { served = expectFrame(store, 1, true); });
    fileFaults::clear();
    EXPECT_EQ(served, last);
    test::runWithWatchdog(60, [&] {
        for (int32_t f = 0; f < 3; ++f)
            EXPECT_TRUE(expectFrame(store, f, true)) << f;
    });
}

INSTANTIATE_TEST_SUITE_P(EveryFileOperation, FailingStorageTest,
                         ::testing::Combine(::testing::ValuesIn(failingOperations()),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return std::get<0>(info.param).name +
                                    (std::get<1>(info.param) ? "_from_then_on" : "_once");
                         });

TEST_F(FrameStoreTest, AFullDiskLosesFramesVisiblyAndLeavesNoTornFiles) {
    const std::string mountPoint = dir_.file("small");
    ASSERT_EQ(::mkdir(mountPoint.c_str(), 0755), 0);
    test::TmpfsMount disk(mountPoint, "1m");
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a 1 MiB tmpfs here: " << disk.error();
    constexpr int32_t kFrames = 10;
    // ~300 KB of incompressible values per frame.
    const auto noise = [](int32_t number) {
        FloatGrid g(160, 480);
        std::mt19937 rng{uint32_t(number)};
        for (uint64_t i = 0; i < g.count(); ++i)
            g[i] = float(rng() % 100000);
        return g;
    };
    const auto matches = [&](BFS& store, int32_t number, bool wait) {
        CacheFrameGuard guard(&store, number, wait);
        return guard.frame() && guard.frame()->gridCount() == 1 &&
               test::sameBits(guard.frame()->entry(0).grid, noise(number));
    };
    {
        BFS store;
        useFolder(store, mountPoint);
        store.setMemoryBudget(64 << 20);
        for (int32_t f = 0; f < kFrames; ++f) {
            CacheWriteGuard writer(&store);
            CacheFrame* frame = writer.begin(f);
            ASSERT_NE(frame, nullptr);
            frame->addGrid(noise(f), 2, {0, 0, 0});
        }
        store.flush();
        EXPECT_GE(store.lostFrames(), 1u);
        EXPECT_LT(store.lostFrames(), uint64_t(kFrames));
        for (int32_t f = 0; f < kFrames; ++f)  // every frame is still in RAM
            EXPECT_TRUE(matches(store, f, false)) << f;
    }
    std::vector<std::string> names;
    Directory folder;
    ASSERT_TRUE(folder.set(mountPoint));
    folder.list(names);
    BFS reader;
    useFolder(reader, mountPoint);
    int onDisk = 0;
    for (int32_t f = 0; f < kFrames; ++f) {
        if (!fileExists(reader.frameFileName(f))) continue;
        ++onDisk;
        EXPECT_TRUE(matches(reader, f, true)) << f;  // what did reach the disk is whole
    }
    EXPECT_GE(onDisk, 1);
    EXPECT_EQ(onDisk, int(names.size()));  // no partial file nor anything else left behind
}

// ---- Stress ----

// One writer, two readers (with and without waiting), the worker saving and reading back and
// the host reopening the folder now and then, with a budget of four frames so that the
// window moves all the time. Every frame served must equal what was written, and all must
// come to an end. SKV_STRESS_SECONDS sets the duration (default 3 s).
TEST_F(FrameStoreTest, StressOneWriterTwoReadersAndTheWorker) {
    const char* env = std::getenv("SKV_STRESS_SECONDS");
    const double seconds = env ? std::max(1.0, std::atof(env)) : 3.0;
    constexpr uint32_t kSide = 32;
    constexpr int32_t kFrames = 300;  // frame numbers wrap around: frames are rewritten too
    BFS store;
    // The idle class would let a loaded machine starve the worker for seconds; the watchdog
    // is about our locking, not the scheduler.
    store.setWorkerPriority(kPriorityNormal);
    useFolder(store, dir_.path());
    store.setMemoryBudget(4 * (kSide * kSide + (kSide + 1) * kSide + kSide * (kSide + 1)) * 4);
    std::atomic<bool> stop{false};
    std::atomic<int32_t> written{-1};  // every frame up to this one has been written once
    std::atomic<int> writes{0}, reads{0}, missing{0};
    test::runWithWatchdog(60 + seconds, [&] {
        std::vector<std::thread> threads;
        threads.emplace_back([&] {
            for (int32_t i = 0; !stop; ++i, ++writes) {
                writeFrame(store, i % kFrames, kSide, kSide);
                written = std::max<int32_t>(written, i % kFrames);
            }
        });
        for (uint32_t r = 1; r <= 2; ++r)
            threads.emplace_back([&, r] {
                std::mt19937 rng{r};
                while (!stop) {
                    if (written < 0) continue;
                    const int32_t f = int32_t(rng() % uint32_t(written + 1));
                    const bool wait = rng() % 2 == 0;
                    CacheFrameGuard guard(&store, f, wait);
                    missing += wait && !guard.frame();
                    std::string why;
                    if (guard.frame() && !frameMatches(*guard.frame(), f, kSide, kSide, &why))
                        ADD_FAILURE() << why;
                    ++reads;
                }
            });
        threads.emplace_back([&] {
            while (!stop) {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                store.openCacheDirectory(dir_.path(), false, true);
            }
        });
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        stop = true;
        for (auto& t : threads)
            t.join();
    });
    EXPECT_EQ(missing, 0);
    EXPECT_GT(writes, 10);
    EXPECT_GT(reads, 10);
    EXPECT_EQ(store.lostFrames(), 0u);
}

// ---- Cache directories ----

class CacheDirectoryTest : public test::StoreTest {
  protected:
    void TearDown() override {
        test::StoreTest::TearDown();
        purgeTempFolders();
    }

    // Frames 0 .. count - 1 saved in the store's folder.
    static void writeFrames(BFS& store, int32_t count) {
        for (int32_t f = 0; f < count; ++f)
            writeFrame(store, f);
        store.flush();
    }

    // Every frame 0 .. count - 1 read back from the store's folder as it was written.
    static void expectFramesOnDisk(BFS& store, int32_t count) {
        store.resetBuffer(true, true);
        for (int32_t f = 0; f < count; ++f)
            EXPECT_TRUE(expectFrame(store, f, true)) << f;
    }
};

TEST_F(CacheDirectoryTest, ChoosingAFolderUsesItOrFallsBackToARecordedTemporaryOne) {
    struct Case {
        const char* what;
        const char* name;  // in the test's folder; "" for the folder itself
        bool allowTemporary, failEveryOperation, chosen, temporary;
    };
    const Case cases[] = {
        {"an existing folder", "", true, false, true, false},
        {"a missing folder", "missing", true, false, true, true},
        {"a missing folder, no fallback", "missing", false, false, false, false},
        {"no temporary folder can be made", "missing", true, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string given = *c.name ? dir_.file(c.name) : dir_.path();
        std::string path = given, used;
        {
            BFS store;
            if (c.failEveryOperation) fileFaults::failOperation(1, true);
            EXPECT_EQ(chooseCacheDirectory(store, path, c.allowTemporary), c.chosen);
            fileFaults::clear();
            used = store.cacheDirectoryPath();
            EXPECT_EQ(used, c.chosen ? path : "");
            EXPECT_EQ(path != given && path.starts_with(tempPath() + "/skv"), c.temporary) << path;
            EXPECT_EQ(store.isTemporary() && c.chosen, c.temporary);
            EXPECT_EQ(temporaryCacheFolders(),
                      c.temporary ? std::vector{path} : std::vector<std::string>{});
            writeFrames(store, 3);
            EXPECT_EQ(fileExists(store.frameFileName(0)), c.chosen);
            EXPECT_EQ(expectFrame(store, 0, true), c.chosen);  // left RAM: from disk or gone
            EXPECT_EQ(store.lostFrames(), 0u);  // without a folder, frames live in RAM only
        }
        EXPECT_EQ(Directory().set(used), c.chosen && !c.temporary);  // the store removed its own
        purgeTempFolders();
        EXPECT_TRUE(temporaryCacheFolders().empty());
    }
}

TEST_F(CacheDirectoryTest, ChoosingAnotherFolderGivesUpTheTemporaryOneAndItsFrames) {
    BFS store;
    std::string temporary;
    ASSERT_TRUE(chooseCacheDirectory(store, temporary, true));
    writeFrames(store, 3);
    ASSERT_TRUE(fileExists(temporary + "/" + frameName(2)));
    std::string chosen = dir_.path();
    ASSERT_TRUE(chooseCacheDirectory(store, chosen, true));
    EXPECT_FALSE(Directory().set(temporary));
    EXPECT_FALSE(store.isTemporary());
    EXPECT_EQ(store.cacheDirectoryPath(), dir_.path());
    // Choosing the folder in use again changes nothing.
    writeFrames(store, 2);
    ASSERT_TRUE(chooseCacheDirectory(store, chosen, true));
    EXPECT_TRUE(fileExists(dir_.file(frameName(1))));
}

TEST_F(CacheDirectoryTest, FramesNotYetSavedGoToTheFolderOpenedNext) {
    const std::string first = dir_.file("first"), second = dir_.file("second");
    BFS store;
    store.setTemporary(false);
    store.setMemoryBudget(16 << 20);
    ASSERT_TRUE(store.openCacheDirectory(first, true, true));
    for (int32_t f = 0; f < 20; ++f)
        writeFrame(store, f);
    ASSERT_TRUE(store.openCacheDirectory(second, true, true));
    store.flush();
    // Each frame was saved exactly once, in the folder open at the time.
    for (int32_t f = 0; f < 20; ++f)
        EXPECT_NE(fileExists(first + "/" + frameName(f)), fileExists(second + "/" + frameName(f)))
            << f;
}

// Which files of a user's folder the store deletes, and when: half-written frame files when
// the folder is opened, frame files when the cache is emptied, nothing else ever.
TEST_F(CacheDirectoryTest, OnlyTheStoresOwnFilesAreEverDeleted) {
    struct Case {
        const char* name;
        bool goneOnOpening, goneOnEmptying;
    };
    const Case cases[] = {
        {"skv_sim_cache_0000000007.bcf.tmp", true, true},
        {"skv_sim_cache_0000000007.bcf", false, true},
        {"notes.txt", false, false},
        {"skv_sim_cache_notes.txt", false, false},
        {"render_0000000007.bcf", false, false},
        {"cache_0000000007.bcf.tmp", false, false},
    };
    for (const auto& c : cases)
        test::writeFile(dir_.file(c.name), "user data");
    BFS store;
    useFolder(store, dir_.path());
    for (const auto& c : cases)
        EXPECT_EQ(fileExists(dir_.file(c.name)), !c.goneOnOpening) << c.name;
    writeFrames(store, 3);
    store.emptyCache();
    EXPECT_FALSE(store.holdsFrames());  // neither in RAM nor on disk
    EXPECT_FALSE(expectFrame(store, 2, true));
    for (const auto& c : cases)
        EXPECT_EQ(fileExists(dir_.file(c.name)), !c.goneOnEmptying) << c.name;
    writeFrames(store, 2);                           // the store goes on
    EXPECT_FALSE(store.removeCacheDirectory(true));  // other files remain: the folder stays
    EXPECT_FALSE(fileExists(store.frameFileName(0)));
    EXPECT_EQ(test::readFile(dir_.file("notes.txt")), "user data");
}

// ---- Moving ----

// Frames move from 0 up to the first without a file; the old folder goes when it is empty.
TEST_F(CacheDirectoryTest, MovingMovesTheFramesUpToAGapAndRemovesTheOldFolderWhenEmpty) {
    for (const int32_t gap : {10, 5}) {
        SCOPED_TRACE(gap);
        const std::string from = dir_.file("from" + std::to_string(gap)), to = from + "-to";
        BFS store;
        ASSERT_TRUE(store.openCacheDirectory(from, true, true));  // temporary
        writeFrames(store, 7 + (gap == 5));
        ASSERT_TRUE(gap == 10 || removeFile(from + "/" + frameName(5)));
        std::string error = "unchanged";
        ASSERT_TRUE(store.moveCache(to, error));
        EXPECT_EQ(error, "");
        EXPECT_EQ(store.cacheDirectoryPath(), to);
        EXPECT_FALSE(store.isTemporary());  // the folder moved to is the user's
        for (int32_t f = 0; f < 8; ++f)
            EXPECT_EQ(fileExists(to + "/" + frameName(f)), f < std::min(gap, 7)) << f;
        EXPECT_EQ(Directory().set(from), gap == 5);
        EXPECT_EQ(fileExists(from + "/" + frameName(6)), gap == 5);
        expectFramesOnDisk(store, std::min(gap, 5));
    }
}

TEST_F(CacheDirectoryTest, MovingWhereNoFolderCanBeMadeKeepsEveryFrame) {
    BFS store;
    ASSERT_TRUE(store.openCacheDirectory(dir_.file("cache"), true, true));  // temporary
    writeFrames(store, 3);
    std::string error;
    EXPECT_FALSE(store.moveCache(dir_.file("x/y"), error));
    EXPECT_FALSE(store.moveCache("", error));
    EXPECT_EQ(store.cacheDirectoryPath(), dir_.file("cache"));
    EXPECT_TRUE(store.isTemporary());
    expectFramesOnDisk(store, 3);
}

// A temporary folder the user makes theirs, by moving the cache into it or by choosing it,
// is no longer the purge's: it stays with its frames and the user's own files.
TEST_F(CacheDirectoryTest, ATemporaryFolderMadeTheUsersIsNeverPurged) {
    for (const bool byMoving : {true, false}) {
        SCOPED_TRACE(byMoving ? "moved into" : "chosen");
        BFS store;
        std::string path;
        ASSERT_TRUE(chooseCacheDirectory(store, path, true));
        ASSERT_TRUE(store.isTemporary());
        writeFrames(store, 3);
        test::writeFile(path + "/notes.txt", "user data");
        std::string error = "unchanged";
        if (byMoving) {
            EXPECT_TRUE(store.moveCache(path + "/.", error));
            EXPECT_EQ(error, "");
        } else {
            BFS other;
            std::string chosen = path;
            EXPECT_TRUE(chooseCacheDirectory(other, chosen, false));
            EXPECT_EQ(chosen, path);
            store.setTemporary(false);
        }
        expectFramesOnDisk(store, 3);
        purgeTempFolders();
        EXPECT_EQ(test::readFile(path + "/notes.txt"), "user data");
        EXPECT_TRUE(fileExists(path + "/" + frameName(2)));
        deleteTree(path);
    }
}

TEST_F(CacheDirectoryTest, AFailedMoveReportsTheSystemErrorAndPutsTheFramesBack) {
    const std::string from = dir_.file("from"), to = dir_.file("to");
    BFS store;
    useFolder(store, from);
    writeFrames(store, 6);
    // A folder where frame 3 should go: the file cannot replace it.
    ASSERT_EQ(::mkdir(to.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((to + "/" + frameName(3)).c_str(), 0755), 0);
    test::writeFile(to + "/" + frameName(3) + "/keep", "x");
    std::string error;
    EXPECT_FALSE(store.moveCache(to, error));
    EXPECT_EQ(error, systemErrorText(EISDIR));
    EXPECT_EQ(store.cacheDirectoryPath(), from);
    for (int32_t f = 0; f < 6; ++f) {
        EXPECT_TRUE(fileExists(from + "/" + frameName(f))) << f;
        EXPECT_FALSE(fileExists(to + "/" + frameName(f))) << f;
    }
    EXPECT_EQ(test::readFile(to + "/" + frameName(3) + "/keep"), "x");
    expectFramesOnDisk(store, 6);
}

// A temporary folder its store could not remove (a file not its own is in it) goes at the
// purge; one that cannot be deleted (a mount point is in it) is forgotten and left.
TEST_F(CacheDirectoryTest, PurgingDeletesTheTemporaryFoldersLeftAndForgetsThemAll) {
    std::string temporary, path;
    {
        BFS store;
        ASSERT_TRUE(chooseCacheDirectory(store, temporary, true));
        writeFrames(store, 2);
        test::writeFile(temporary + "/stray.txt", "not a frame");
    }
    ASSERT_TRUE(Directory().set(temporary));
    purgeTempFolders();
    EXPECT_FALSE(Directory().set(temporary));
    EXPECT_TRUE(temporaryCacheFolders().empty());
    BFS store;
    ASSERT_TRUE(chooseCacheDirectory(store, path, true));
    ASSERT_EQ(::mkdir((path + "/busy").c_str(), 0755), 0);
    {
        test::TmpfsMount mount(path + "/busy", "64k");
        if (!mount.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << mount.error();
        purgeTempFolders();
        EXPECT_TRUE(Directory().set(path + "/busy"));
        EXPECT_TRUE(temporaryCacheFolders().empty());
    }
    EXPECT_TRUE(deleteTree(path));
}

}  // namespace
}  // namespace skv
