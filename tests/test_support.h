#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace skv::test {

// A fresh folder under the system temporary folder, deleted with everything in it when the
// object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Whole-file helpers for tests.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

// The lines of the current process's log file (skyvane.log in the test's $HOME).
std::vector<std::string> logLines();
// Starts the log afresh: the next line truncates the file.
void freshLog();
// True when some log line ends with `text` after its time stamp ("[s.mmm] text").
bool logHasLine(const std::string& text);
// Number of log lines whose message (after the time stamp) equals `text`.
int logCount(const std::string& text);
// True when some log line's message contains `fragment`.
bool logContains(const std::string& fragment);

// A small tmpfs mounted on `path` for as long as the object lives, where the process may
// mount one (root with the capability); `error` says why not otherwise.
class TmpfsMount {
  public:
    TmpfsMount(const std::string& path, const std::string& size) : path_(path) {
        const std::string options = "size=" + size;
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
        if (!mounted_) error_ = std::strerror(errno);
    }
    ~TmpfsMount() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }
    // Remounts with another size, or read-only (or writable again).
    bool remount(const std::string& size, bool readOnly = false) {
        const std::string options = "size=" + size;
        return mounted_ && ::mount("tmpfs", path_.c_str(), "tmpfs",
                                   MS_REMOUNT | (readOnly ? MS_RDONLY : 0), options.c_str()) == 0;
    }

  private:
    std::string path_;
    bool mounted_ = false;
    std::string error_;
};

}  // namespace skv::test
