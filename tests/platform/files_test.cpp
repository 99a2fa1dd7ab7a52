#include "platform/files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "test_support.h"

namespace skv {
namespace {

using test::TempDir;

class FilesTest : public ::testing::Test {
protected:
    void TearDown() override { fileFaults::clear(); }
    TempDir dir_;
};

TEST_F(FilesTest, ClosedHandleReportsNothingAndFailsEveryOperation) {
    FileHandle handle;
    char buffer[4];
    EXPECT_EQ(handle.size(), 0u);
    EXPECT_EQ(handle.tell(), 0u);
    EXPECT_FALSE(handle.seek(0));
    EXPECT_EQ(handle.read(buffer, 4), 0u);
    EXPECT_EQ(handle.write("abcd", 4), 0u);
    EXPECT_FALSE(handle.truncate());
    EXPECT_EQ(handle.lastWriteTime(), 0u);
}

TEST_F(FilesTest, OpeningMissingFilesAndFoldersForReadingFails) {
    FileHandle handle;
    EXPECT_FALSE(handle.openRead(dir_.file("missing")));
    EXPECT_FALSE(handle.openRead(dir_.path()));
    EXPECT_FALSE(handle.openRead(""));
    EXPECT_FALSE(handle.openWrite(dir_.file("no/such/folder")));
}

TEST_F(FilesTest, SeekBeyondTheEndOfAFileOpenForWritingSucceeds) {
    FileHandle handle;
    ASSERT_TRUE(handle.openWrite(dir_.file("f")));
    EXPECT_TRUE(handle.seek(1000));
    EXPECT_EQ(handle.tell(), 1000u);
    EXPECT_EQ(handle.write("x", 1), 1u);
    EXPECT_EQ(handle.size(), 1001u);
    EXPECT_GT(handle.lastWriteTime(), 0u);
}

TEST_F(FilesTest, TruncateEndsTheFileAtThePosition) {
    FileHandle handle;
    ASSERT_TRUE(handle.openReadWrite(dir_.file("f")));
    ASSERT_EQ(handle.write("0123456789", 10), 10u);
    ASSERT_TRUE(handle.seek(4));
    EXPECT_TRUE(handle.truncate());
    EXPECT_EQ(handle.size(), 4u);
    handle.close();
    EXPECT_EQ(test::readFile(dir_.file("f")), "0123");
}

TEST_F(FilesTest, OpenWriteTruncatesAndOpenReadWriteKeepsContents) {
    test::writeFile(dir_.file("f"), "hello");
    FileHandle handle;
    ASSERT_TRUE(handle.openReadWrite(dir_.file("f")));
    EXPECT_EQ(handle.size(), 5u);
    ASSERT_TRUE(handle.openWrite(dir_.file("f")));
    EXPECT_EQ(handle.size(), 0u);
}

TEST_F(FilesTest, BinaryFileReadsOnlyWholeRequests) {
    test::writeFile(dir_.file("f"), std::string(100, 'x'));
    BinaryFile file;
    ASSERT_TRUE(file.openRead(dir_.file("f")));
    EXPECT_TRUE(file.canRead());
    EXPECT_FALSE(file.canWrite());
    char buffer[38];
    ASSERT_TRUE(file.seek(80));
    EXPECT_FALSE(file.read(buffer, 38));  // only 20 bytes left
    ASSERT_TRUE(file.seek(62));
    EXPECT_TRUE(file.read(buffer, 38));
    EXPECT_FALSE(file.write("y", 1));
    file.close();
    EXPECT_FALSE(file.canRead());
    EXPECT_FALSE(file.read(buffer, 1));
}

TEST_F(FilesTest, BinaryFileModes) {
    BinaryFile file;
    EXPECT_FALSE(file.openWrite(""));
    ASSERT_TRUE(file.openWrite(dir_.file("w")));
    EXPECT_EQ(file.path(), dir_.file("w"));
    EXPECT_TRUE(file.canWrite());
    EXPECT_FALSE(file.canRead());
    EXPECT_TRUE(file.write("abc", 3));
    char c;
    EXPECT_FALSE(file.read(&c, 1));
    ASSERT_TRUE(file.openReadWrite(dir_.file("w")));  // closes the first open
    EXPECT_TRUE(file.canRead());
    EXPECT_TRUE(file.canWrite());
    EXPECT_TRUE(file.read(&c, 1));
    EXPECT_EQ(c, 'a');
}

TEST_F(FilesTest, DirectorySetDistinguishesFoldersFromFilesAndMissingPaths) {
    test::writeFile(dir_.file("file"), "x");
    Directory directory;
    EXPECT_FALSE(directory.exists());
    EXPECT_FALSE(directory.set(dir_.file("file")));
    EXPECT_FALSE(directory.set(dir_.file("missing")));
    EXPECT_EQ(directory.path(), dir_.file("missing"));
    EXPECT_TRUE(directory.set(dir_.path()));
    EXPECT_TRUE(directory.isUsable());
    directory.clear();
    EXPECT_FALSE(directory.exists());
    EXPECT_EQ(directory.path(), "");
}

TEST_F(FilesTest, DirectoryCreatesOneLevelAndListsEntries) {
    Directory directory;
    EXPECT_FALSE(directory.create(dir_.file("a/b")));
    ASSERT_TRUE(directory.create(dir_.file("a")));
    EXPECT_TRUE(directory.exists());
    EXPECT_FALSE(Directory().create(dir_.file("a")));  // already there
    test::writeFile(dir_.file("a/one"), "1");
    test::writeFile(dir_.file("a/two"), "2");
    std::vector<std::string> names{"stale"};
    directory.list(names);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"one", "two"}));
}

TEST_F(FilesTest, DeleteTreeRemovesReadOnlyEntriesAndSubFolders) {
    const std::string root = dir_.file("tree");
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/sub/deeper").c_str(), 0755), 0);
    test::writeFile(root + "/readonly", "r");
    ASSERT_EQ(::chmod((root + "/readonly").c_str(), 0444), 0);
    test::writeFile(root + "/sub/a", "a");
    test::writeFile(root + "/sub/deeper/b", "b");
    ASSERT_EQ(::chmod((root + "/sub/deeper").c_str(), 0555), 0);  // a read-only folder
    EXPECT_TRUE(deleteTree(root));
    EXPECT_FALSE(Directory().set(root));
}

TEST_F(FilesTest, DeleteTreeRemovesLinksButNeverWhatTheyPointTo) {
    const std::string outside = dir_.file("outside");
    ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
    test::writeFile(outside + "/precious", "keep me");
    const std::string root = dir_.file("tree");
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(outside.c_str(), (root + "/link-to-folder").c_str()), 0);
    ASSERT_EQ(::symlink((outside + "/precious").c_str(), (root + "/link-to-file").c_str()), 0);
    EXPECT_TRUE(deleteTree(root));
    EXPECT_FALSE(Directory().set(root));
    EXPECT_EQ(test::readFile(outside + "/precious"), "keep me");

    // A link given as the tree itself is removed, its target left alone.
    ASSERT_EQ(::symlink(outside.c_str(), root.c_str()), 0);
    EXPECT_TRUE(deleteTree(root));
    EXPECT_EQ(test::readFile(outside + "/precious"), "keep me");
}

TEST_F(FilesTest, DeleteTreeOfMissingPathOrFileFails) {
    EXPECT_FALSE(deleteTree(dir_.file("missing")));
    test::writeFile(dir_.file("file"), "x");
    EXPECT_FALSE(deleteTree(dir_.file("file")));
    EXPECT_TRUE(fileExists(dir_.file("file")));
    EXPECT_FALSE(deleteTree(""));
}

TEST_F(FilesTest, RenameRemoveAndMove) {
    test::writeFile(dir_.file("a"), "A");
    test::writeFile(dir_.file("b"), "B");
    EXPECT_TRUE(renameFile(dir_.file("a"), dir_.file("b")));  // replaces
    EXPECT_FALSE(fileExists(dir_.file("a")));
    EXPECT_EQ(test::readFile(dir_.file("b")), "A");

    int error = 0;
    EXPECT_TRUE(moveFile(dir_.file("b"), dir_.file("c"), error));
    EXPECT_EQ(error, 0);
    EXPECT_FALSE(moveFile(dir_.file("b"), dir_.file("d"), error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_FALSE(systemErrorText(ENOENT).empty());

    EXPECT_TRUE(removeFile(dir_.file("c")));
    EXPECT_FALSE(removeFile(dir_.file("c")));
}

TEST_F(FilesTest, TemporaryFoldersAreUniqueAndCarryThePrefix) {
    const std::string a = makeTemporaryFolder("skv", dir_.path());
    const std::string b = makeTemporaryFolder("skv", dir_.path());
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_NE(a, b);
    EXPECT_TRUE(a.starts_with(dir_.path() + "/skv"));
    EXPECT_TRUE(Directory().set(a));

    // Without a usable base the system temporary folder serves.
    const std::string c = makeTemporaryFolder("skv", dir_.file("missing"));
    ASSERT_FALSE(c.empty());
    EXPECT_TRUE(c.starts_with(tempPath() + "/skv"));
    EXPECT_TRUE(deleteTree(c));
}

TEST_F(FilesTest, TemporaryFolderFailureIsLoggedAndEmpty) {
    test::freshLog();
    fileFaults::failOperation(1);
    EXPECT_EQ(makeTemporaryFolder("skv", dir_.path()), "");
    EXPECT_TRUE(test::logHasLine("Failed to create temporary filename"));
}

TEST_F(FilesTest, WellKnownFoldersFollowTheEnvironment) {
    EXPECT_EQ(profileFolder(), std::getenv("HOME"));
    const char* saved = std::getenv("TMPDIR");
    const std::string savedValue = saved ? saved : "";
    ::setenv("TMPDIR", (dir_.path() + "/").c_str(), 1);
    EXPECT_EQ(tempPath(), dir_.path());
    ::setenv("TMPDIR", dir_.file("missing").c_str(), 1);
    EXPECT_EQ(tempPath(), "/tmp");
    if (saved)
        ::setenv("TMPDIR", savedValue.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}

TEST_F(FilesTest, InjectedFaultsFailTheNthOperationOnceOrFromThenOn) {
    FileHandle handle;
    ASSERT_TRUE(handle.openWrite(dir_.file("f")));
    fileFaults::failOperation(2);
    EXPECT_EQ(handle.write("a", 1), 1u);  // 1st
    EXPECT_EQ(handle.write("b", 1), 0u);  // 2nd fails
    EXPECT_EQ(handle.write("c", 1), 1u);  // once only

    fileFaults::failOperation(1, true);
    EXPECT_EQ(handle.write("d", 1), 0u);
    EXPECT_FALSE(handle.seek(0));
    EXPECT_FALSE(renameFile(dir_.file("f"), dir_.file("g")));
    fileFaults::clear();
    EXPECT_EQ(handle.write("e", 1), 1u);
    EXPECT_EQ(fileFaults::operationCount(), 1u);
    handle.close();
    EXPECT_EQ(test::readFile(dir_.file("f")), "ace");
}

}  // namespace
}  // namespace skv
