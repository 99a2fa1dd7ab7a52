#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace skv {

// One open file. Nothing here throws or logs: failures are false, zero or empty results.
class FileHandle {
  public:
    FileHandle() = default;
    virtual ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    virtual bool openRead(const std::string& path);       // existing file, shared for reading
    virtual bool openWrite(const std::string& path);      // created or truncated
    virtual bool openReadWrite(const std::string& path);  // created when missing
    virtual void close();
    virtual uint64_t size() const;  // 0 without a handle
    virtual uint64_t tell() const;  // 0 without a handle
    // Moves to an absolute position; true when the new position equals the request. Seeking
    // beyond the end is allowed (a later write extends the file).
    virtual bool seek(uint64_t position);
    virtual size_t read(void* buffer, size_t bytes);        // bytes read, 0 on failure
    virtual size_t write(const void* bytes, size_t count);  // bytes written, 0 on failure
    virtual bool truncate();                                // ends the file at the position
    virtual uint64_t lastWriteTime() const;                 // nanoseconds since the epoch
    // Waits until what was written is on the storage device (fsync).
    virtual bool sync();

    bool isOpen() const { return fd_ >= 0; }

  private:
    bool openWith(const std::string& path, int flags);
    int fd_ = -1;
};

// A file that remembers its path and open mode.
class BinaryFile {
  public:
    enum Mode : int { kRead = 1, kWrite = 2, kReadWrite = 3 };

    BinaryFile();
    ~BinaryFile();

    bool openRead(const std::string& path);
    bool openWrite(const std::string& path);
    bool openReadWrite(const std::string& path);
    void close();
    bool canRead() const { return open_ && (mode_ & kRead); }
    bool canWrite() const { return open_ && (mode_ & kWrite); }
    bool read(void* buffer, size_t bytes);        // true only when exactly `bytes` were read
    bool write(const void* bytes, size_t count);  // true only when all were written
    uint64_t tell() const;
    bool seek(uint64_t position);
    bool truncate();
    bool sync();  // fsync: true when the written bytes are durably stored
    uint64_t size() const;
    const std::string& path() const { return path_; }

  private:
    bool open(const std::string& path, int mode);
    std::unique_ptr<FileHandle> handle_;
    std::string path_;
    int mode_ = 0;
    bool open_ = false;
};

// A folder path and its attributes as read by set(); it counts as existing only while
// those attributes are known and say "directory".
class Directory {
  public:
    Directory() = default;
    virtual ~Directory() = default;

    virtual bool set(const std::string& path);
    virtual void clear();
    virtual bool create(const std::string& path);  // one level
    virtual bool exists() const;
    virtual bool isUsable() const { return true; }
    // Names of the folder's entries, without "." and "..", in the system's order.
    virtual void list(std::vector<std::string>& names) const;
    virtual const std::string& path() const { return path_; }

  private:
    std::string path_;
    bool haveAttributes_ = false;
    bool isDirectory_ = false;
};

// Deletes a folder and everything in it. Symbolic links are removed, never followed, so
// nothing outside the tree is touched; read-only entries are deleted too.
bool deleteTree(const std::string& path);

bool fileExists(const std::string& path);
bool removeFile(const std::string& path);
// Atomically replaces `to` by `from` (same file system).
bool renameFile(const std::string& from, const std::string& to);
// Makes the entries of a folder (files created, renamed or removed in it) durable (fsync of
// the folder).
bool syncFolder(const std::string& path);
// Moves a file, replacing the target, copying across file systems when needed. On failure
// `error` receives the system's error number (ENOENT when `from` does not exist).
bool moveFile(const std::string& from, const std::string& to, int& error);
std::string systemErrorText(int error);
// Removes an empty folder (one level); false when it is missing, not empty or not a folder.
bool removeFolder(const std::string& path);
// Whether two paths name the same existing file or folder (links followed). False when
// either cannot be examined; `same` is then false too.
bool sameFile(const std::string& a, const std::string& b, bool& same);

std::string profileFolder();  // $HOME (the user database when unset)
std::string tempPath();       // $TMPDIR or /tmp; "." when neither is usable
// Creates a new, unique folder named prefix + random characters inside `base` (when given
// and existing) or tempPath(), atomically. Returns its path, or "" after logging
// "Failed to create temporary filename".
std::string makeTemporaryFolder(const std::string& prefix, const std::string& base = {});

// Fault injection for tests of the code above this layer: every file-system operation made
// through it (opens, reads, writes, seeks, truncations, renames, removals, folder creation)
// is counted, and the n-th one from now can be made to fail, once or from then on.
namespace fileFaults {
void failOperation(uint64_t n, bool persistent = false);
void clear();
uint64_t operationCount();  // operations since the last clear()
}  // namespace fileFaults

}  // namespace skv
