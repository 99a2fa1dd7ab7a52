#include "cache/cache_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "frame_helpers.h"
#include "platform/files.h"
#include "test_support.h"

namespace skv {
namespace {

using test::TempDir;
using test::writeFrame;

constexpr uint32_t kW = 8, kH = 6;

class CacheDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override { test::freshLog(); }
    void TearDown() override {
        fileFaults::clear();
        purgeTempFolders();
    }

    // Frames 0 .. count - 1 saved in the store's folder.
    static void writeFrames(BFS& store, int32_t count) {
        for (int32_t f = 0; f < count; ++f)
            writeFrame(store, f);
        store.flush();
    }

    static std::string frameName(int32_t f) {
        char name[64];
        std::snprintf(name, sizeof name, "skv_sim_cache_%010d.bcf", f);
        return name;
    }

    static bool frameMatchesOnDisk(BFS& store, int32_t f) {
        CacheFrameGuard guard(&store, f, true);
        return guard.frame() && test::frameMatches(*guard.frame(), f, kW, kH);
    }

    TempDir dir_;
};

TEST_F(CacheDirectoryTest, ChoosingAnExistingFolderUsesItAsTheUsersFolder) {
    BFS store;
    std::string path = dir_.path();
    EXPECT_TRUE(chooseCacheDirectory(store, path, true));
    EXPECT_EQ(path, dir_.path());
    EXPECT_TRUE(test::logHasLine("Using cache directory " + dir_.path()));
    EXPECT_FALSE(store.isTemporary());
    EXPECT_EQ(store.cacheDirectoryPath(), dir_.path());
    EXPECT_TRUE(temporaryCacheFolders().empty());
}

TEST_F(CacheDirectoryTest, AMissingFolderFallsBackToARecordedTemporaryFolder) {
    std::string temporary;
    {
        BFS store;
        std::string path = dir_.file("missing");
        ASSERT_TRUE(chooseCacheDirectory(store, path, true));
        temporary = path;
        EXPECT_TRUE(temporary.starts_with(tempPath() + "/skv")) << temporary;
        EXPECT_TRUE(Directory().set(temporary));
        EXPECT_TRUE(store.isTemporary());
        EXPECT_EQ(store.cacheDirectoryPath(), temporary);
        EXPECT_EQ(temporaryCacheFolders(), std::vector<std::string>{temporary});
        EXPECT_TRUE(test::logHasLine("Failed to open cache directory " + dir_.file("missing")));
        writeFrames(store, 3);
    }
    EXPECT_FALSE(Directory().set(temporary));  // the store removed it with its frames
    purgeTempFolders();
    EXPECT_FALSE(test::logContains("purgeTempFolders: failed to delete"));
    EXPECT_TRUE(temporaryCacheFolders().empty());
}

TEST_F(CacheDirectoryTest, PurgingDeletesTemporaryFoldersTheirStoresCouldNotRemove) {
    std::string temporary;
    {
        BFS store;
        std::string path;
        ASSERT_TRUE(chooseCacheDirectory(store, path, true));
        temporary = path;
        writeFrames(store, 2);
        test::writeFile(temporary + "/stray.txt", "not a frame");
    }
    EXPECT_TRUE(test::logHasLine("Failed to remove cache directory " + temporary));
    ASSERT_TRUE(Directory().set(temporary));
    purgeTempFolders();
    EXPECT_FALSE(Directory().set(temporary));
    EXPECT_TRUE(temporaryCacheFolders().empty());
}

TEST_F(CacheDirectoryTest, ChoosingAnotherFolderGivesUpTheTemporaryOneAndItsFrames) {
    BFS store;
    std::string path;
    ASSERT_TRUE(chooseCacheDirectory(store, path, true));
    const std::string temporary = path;
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

TEST_F(CacheDirectoryTest, WithoutFallbackAFailedChoiceLeavesFramesInRamOnly) {
    BFS store;
    std::string path = dir_.file("missing");
    EXPECT_FALSE(chooseCacheDirectory(store, path, false));
    EXPECT_EQ(path, dir_.file("missing"));
    EXPECT_EQ(store.cacheDirectoryPath(), "");
    EXPECT_TRUE(temporaryCacheFolders().empty());
    writeFrames(store, 3);
    EXPECT_TRUE(test::logHasLine("IOW: NOT writing frame 0"));
}

TEST_F(CacheDirectoryTest, ATemporaryFolderThatCannotBeMadeIsLogged) {
    BFS store;
    std::string path = dir_.file("missing");
    fileFaults::failOperation(1, true);
    EXPECT_FALSE(chooseCacheDirectory(store, path, true));
    fileFaults::clear();
    EXPECT_TRUE(test::logHasLine("Failed to create temporary filename"));
    EXPECT_TRUE(test::logContains("Failed to create sim cache directory "));
    EXPECT_EQ(store.cacheDirectoryPath(), "");
}

TEST_F(CacheDirectoryTest, OpeningCreatesOneLevelWhenAskedAndReportsFailures) {
    BFS store;
    store.setTemporary(false);
    EXPECT_FALSE(store.openCacheDirectory("", true, true));
    EXPECT_TRUE(store.openCacheDirectory(dir_.file("new"), true, true));
    EXPECT_TRUE(Directory().set(dir_.file("new")));
    EXPECT_TRUE(test::logHasLine("Using cache directory " + dir_.file("new")));
    const std::string deep = dir_.file("a/b/c");
    EXPECT_FALSE(store.openCacheDirectory(deep, true, true));
    EXPECT_TRUE(test::logHasLine("Failed to create directory " + deep));
    EXPECT_TRUE(test::logHasLine("Failed to open cache directory " + deep));
    EXPECT_EQ(store.cacheDirectoryPath(), "");
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

TEST_F(CacheDirectoryTest, MovingTenFramesMovesTenFilesAndRemovesTheOldFolder) {
    const std::string from = dir_.file("from"), to = dir_.file("to");
    BFS store;
    ASSERT_TRUE(store.openCacheDirectory(from, true, true));  // temporary
    writeFrames(store, 10);
    std::string error = "unchanged";
    ASSERT_TRUE(store.moveCache(to, error));
    EXPECT_EQ(error, "");
    EXPECT_FALSE(Directory().set(from));
    for (int32_t f = 0; f < 10; ++f)
        EXPECT_TRUE(fileExists(to + "/" + frameName(f))) << f;
    EXPECT_EQ(store.cacheDirectoryPath(), to);
    EXPECT_FALSE(store.isTemporary());  // the folder moved to is the user's
    store.resetBuffer(true, true);
    for (int32_t f = 0; f < 10; ++f)
        EXPECT_TRUE(frameMatchesOnDisk(store, f)) << f;
}

TEST_F(CacheDirectoryTest, MovingFramesWithAGapStopsThereAndTheOldFolderStays) {
    const std::string from = dir_.file("from"), to = dir_.file("to");
    BFS store;
    store.setTemporary(false);
    ASSERT_TRUE(store.openCacheDirectory(from, true, true));
    writeFrames(store, 7);
    ASSERT_TRUE(removeFile(from + "/" + frameName(5)));
    std::string error;
    EXPECT_TRUE(store.moveCache(to, error));
    for (int32_t f = 0; f < 5; ++f)
        EXPECT_TRUE(fileExists(to + "/" + frameName(f))) << f;
    EXPECT_FALSE(fileExists(to + "/" + frameName(6)));
    EXPECT_TRUE(fileExists(from + "/" + frameName(6)));
    EXPECT_TRUE(test::logHasLine("Failed to remove cache directory " + from));
    EXPECT_EQ(store.cacheDirectoryPath(), to);
}

TEST_F(CacheDirectoryTest, MovingToAFolderThatCannotBeMadeLeavesTheCacheWhereItWas) {
    BFS store;
    store.setTemporary(false);
    ASSERT_TRUE(store.openCacheDirectory(dir_.path(), false, true));
    writeFrames(store, 3);
    const std::string deep = dir_.file("x/y");
    std::string error;
    EXPECT_FALSE(store.moveCache(deep, error));
    EXPECT_TRUE(test::logHasLine("Failed to create dir to move cache to: " + deep));
    EXPECT_EQ(store.cacheDirectoryPath(), dir_.path());
    store.resetBuffer(true, true);
    for (int32_t f = 0; f < 3; ++f)
        EXPECT_TRUE(frameMatchesOnDisk(store, f)) << f;
    EXPECT_FALSE(store.moveCache("", error));
}

TEST_F(CacheDirectoryTest, MovingACacheIntoItsOwnFolderKeepsEveryFrame) {
    BFS store;
    ASSERT_TRUE(store.openCacheDirectory(dir_.file("cache"), true, true));  // temporary
    writeFrames(store, 4);
    std::string error = "unchanged";
    EXPECT_TRUE(store.moveCache(dir_.file("cache/."), error));
    EXPECT_EQ(error, "");
    EXPECT_FALSE(store.isTemporary());
    store.resetBuffer(true, true);
    for (int32_t f = 0; f < 4; ++f)
        EXPECT_TRUE(frameMatchesOnDisk(store, f)) << f;
}

TEST_F(CacheDirectoryTest, AFailedMoveReportsTheSystemErrorAndPutsTheFramesBack) {
    const std::string from = dir_.file("from"), to = dir_.file("to");
    BFS store;
    store.setTemporary(false);
    ASSERT_TRUE(store.openCacheDirectory(from, true, true));
    writeFrames(store, 6);
    // A folder where frame 3 should go: the file cannot replace it.
    ASSERT_EQ(::mkdir(to.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((to + "/" + frameName(3)).c_str(), 0755), 0);
    test::writeFile(to + "/" + frameName(3) + "/keep", "x");
    std::string error;
    EXPECT_FALSE(store.moveCache(to, error));
    EXPECT_EQ(error, systemErrorText(EISDIR));
    EXPECT_TRUE(test::logContains("Failed to move cache from " + from + " to " + to));
    EXPECT_EQ(store.cacheDirectoryPath(), from);
    for (int32_t f = 0; f < 6; ++f) {
        EXPECT_TRUE(fileExists(from + "/" + frameName(f))) << f;
        if (f != 3) {
            EXPECT_FALSE(fileExists(to + "/" + frameName(f))) << f;
        }
    }
    store.resetBuffer(true, true);
    for (int32_t f = 0; f < 6; ++f)
        EXPECT_TRUE(frameMatchesOnDisk(store, f)) << f;
}

TEST_F(CacheDirectoryTest, RemovingTheFolderDeletesItsFramesUnlessOtherFilesRemain) {
    BFS store;
    ASSERT_TRUE(store.openCacheDirectory(dir_.file("cache"), true, true));
    writeFrames(store, 3);
    EXPECT_TRUE(store.removeCacheDirectory(true));
    EXPECT_FALSE(Directory().set(dir_.file("cache")));
    EXPECT_EQ(store.cacheDirectoryPath(), "");
    EXPECT_FALSE(store.removeCacheDirectory(true));

    ASSERT_TRUE(store.openCacheDirectory(dir_.file("other"), true, true));
    writeFrames(store, 2);
    test::writeFile(dir_.file("other/notes.txt"), "x");
    EXPECT_FALSE(store.removeCacheDirectory(true));
    EXPECT_TRUE(test::logHasLine("Failed to remove cache directory " + dir_.file("other")));
    EXPECT_FALSE(fileExists(dir_.file("other/" + frameName(0))));
    EXPECT_TRUE(fileExists(dir_.file("other/notes.txt")));
}

TEST_F(CacheDirectoryTest, APurgeThatCannotDeleteAFolderSaysSo) {
    BFS store;
    std::string path;
    ASSERT_TRUE(chooseCacheDirectory(store, path, true));
    const std::string busy = path + "/busy";
    ASSERT_EQ(::mkdir(busy.c_str(), 0755), 0);
    {
        // A mount point cannot be removed while mounted.
        test::TmpfsMount mount(busy, "64k");
        if (!mount.mounted()) {
            deleteTree(path);
            GTEST_SKIP() << "cannot mount a tmpfs here: " << mount.error();
        }
        purgeTempFolders();
        EXPECT_TRUE(test::logHasLine("purgeTempFolders: failed to delete " + path));
        EXPECT_TRUE(temporaryCacheFolders().empty());
    }
    EXPECT_TRUE(deleteTree(path));
}

}  // namespace
}  // namespace skv
