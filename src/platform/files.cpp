#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/log.h"

namespace skv {

namespace fileFaults {
namespace {
std::atomic<uint64_t> operations{0};
std::atomic<uint64_t> failAt{0};  // 0: no fault armed
std::atomic<bool> failPersistent{false};
}  // namespace

void failOperation(uint64_t n, bool persistent) {
    failPersistent = persistent;
    failAt = operations.load() + (n == 0 ? 1 : n);
}

void clear() {
    failAt = 0;
    failPersistent = false;
    operations = 0;
}

uint64_t operationCount() {
    return operations.load();
}

}  // namespace fileFaults

namespace {

// Counts one operation; true when it is to fail.
bool injectedFault() {
    const uint64_t index = ++fileFaults::operations;
    const uint64_t at = fileFaults::failAt.load();
    if (at == 0) return false;
    if (index == at) return true;
    return index > at && fileFaults::failPersistent.load();
}

bool isDirectoryPath(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

// ---- FileHandle ----

FileHandle::~FileHandle() {
    close();
}

bool FileHandle::openWith(const std::string& path, int flags) {
    close();
    if (path.empty() || injectedFault()) return false;
    int fd;
    // Non-blocking, so that a FIFO named like a file cannot stop the caller; it is refused
    // below with every other kind of file that is not a regular one (folders, devices).
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            errno = EINVAL;
            return false;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    fd_ = fd;
    return fd_ >= 0;
}

bool FileHandle::openRead(const std::string& path) {
    return openWith(path, O_RDONLY);
}
bool FileHandle::openWrite(const std::string& path) {
    return openWith(path, O_WRONLY | O_CREAT | O_TRUNC);
}
bool FileHandle::openReadWrite(const std::string& path) {
    return openWith(path, O_RDWR | O_CREAT);
}

void FileHandle::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

uint64_t FileHandle::size() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

uint64_t FileHandle::tell() const {
    if (fd_ < 0) return 0;
    const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
    return pos < 0 ? 0 : static_cast<uint64_t>(pos);
}

bool FileHandle::seek(uint64_t position) {
    if (fd_ < 0 || injectedFault() || position > static_cast<uint64_t>(INT64_MAX)) return false;
    const off_t pos = ::lseek(fd_, static_cast<off_t>(position), SEEK_SET);
    return pos >= 0 && static_cast<uint64_t>(pos) == position;
}

size_t FileHandle::read(void* buffer, size_t bytes) {
    if (fd_ < 0 || injectedFault()) return 0;
    size_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < bytes) {
        const ssize_t n = ::read(fd_, out + done, bytes - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 0;
        if (n == 0) break;  // end of file
        done += static_cast<size_t>(n);
    }
    return done;
}

size_t FileHandle::write(const void* bytes, size_t count) {
    if (fd_ < 0 || injectedFault()) return 0;
    size_t done = 0;
    const auto* in = static_cast<const char*>(bytes);
    while (done < count) {
        const ssize_t n = ::write(fd_, in + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool FileHandle::truncate() {
    if (fd_ < 0 || injectedFault()) return false;
    const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
    return pos >= 0 && ::ftruncate(fd_, pos) == 0;
}

bool FileHandle::sync() {
    if (fd_ < 0 || injectedFault()) return false;
    int result;
    do {
        result = ::fsync(fd_);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

uint64_t FileHandle::lastWriteTime() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull +
           static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

// ---- BinaryFile ----

BinaryFile::BinaryFile() : handle_(std::make_unique<FileHandle>()) {}
BinaryFile::~BinaryFile() = default;

bool BinaryFile::open(const std::string& path, int mode) {
    if (path.empty()) return false;
    close();
    path_ = path;
    mode_ = mode;
    switch (mode) {
        case kRead:
            open_ = handle_->openRead(path);
            break;
        case kWrite:
            open_ = handle_->openWrite(path);
            break;
        default:
            open_ = handle_->openReadWrite(path);
            break;
    }
    return open_;
}

bool BinaryFile::openRead(const std::string& path) {
    return open(path, kRead);
}
bool BinaryFile::openWrite(const std::string& path) {
    return open(path, kWrite);
}
bool BinaryFile::openReadWrite(const std::string& path) {
    return open(path, kReadWrite);
}

void BinaryFile::close() {
    if (open_) {
        handle_->close();
        open_ = false;
    }
}

bool BinaryFile::read(void* buffer, size_t bytes) {
    return canRead() && handle_->read(buffer, bytes) == bytes;
}

bool BinaryFile::write(const void* bytes, size_t count) {
    return canWrite() && handle_->write(bytes, count) == count;
}

uint64_t BinaryFile::tell() const {
    return handle_->tell();
}
bool BinaryFile::seek(uint64_t position) {
    return handle_->seek(position);
}
bool BinaryFile::truncate() {
    return handle_->truncate();
}
uint64_t BinaryFile::size() const {
    return handle_->size();
}

bool BinaryFile::sync() {
    return open_ && (mode_ & kWrite) && handle_->sync();
}

// ---- Directory ----

bool Directory::set(const std::string& path) {
    path_ = path;
    struct stat st;
    haveAttributes_ = !path.empty() && ::stat(path.c_str(), &st) == 0;
    isDirectory_ = haveAttributes_ && S_ISDIR(st.st_mode);
    return exists();
}

void Directory::clear() {
    path_.clear();
    haveAttributes_ = false;
    isDirectory_ = false;
}

bool Directory::create(const std::string& path) {
    if (path.empty() || injectedFault()) return false;
    if (::mkdir(path.c_str(), 0755) != 0) return false;
    return set(path);
}

bool Directory::exists() const {
    return haveAttributes_ && isDirectory_;
}

void Directory::list(std::vector<std::string>& names) const {
    if (!exists()) return;
    names.clear();
    DIR* dir = ::opendir(path_.c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
}

// ---- Tree deletion ----

namespace {

// Deletes the contents of the open folder `dirFd` (which it closes). Works on descriptors
// relative to their parent so that a folder swapped for a link mid-way is never followed.
bool deleteContents(int dirFd) {
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return false;
    }
    bool ok = true;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        struct stat st;
        if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
            break;
        }
        if (S_ISDIR(st.st_mode)) {
            // A read-only folder cannot have its entries removed: make it writable first.
            if ((st.st_mode & S_IRWXU) != S_IRWXU) ::fchmodat(dirFd, name, st.st_mode | S_IRWXU, 0);
            const int child =
                ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0 || !deleteContents(child) || ::unlinkat(dirFd, name, AT_REMOVEDIR) != 0) {
                ok = false;
                break;
            }
        } else if (::unlinkat(dirFd, name, 0) != 0) {
            ok = false;
            break;
        }
        errno = 0;
    }
    if (ok && errno != 0) ok = false;  // the listing itself failed
    ::closedir(dir);
    return ok;
}

}  // namespace

bool deleteTree(const std::string& path) {
    if (path.empty()) return false;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) return ::unlink(path.c_str()) == 0;  // the link, never its target
    if (!S_ISDIR(st.st_mode)) return false;
    if ((st.st_mode & S_IRWXU) != S_IRWXU) ::chmod(path.c_str(), st.st_mode | S_IRWXU);
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || !deleteContents(fd)) return false;
    return ::rmdir(path.c_str()) == 0;
}

// ---- Single files ----

bool fileExists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool removeFile(const std::string& path) {
    if (path.empty() || injectedFault()) return false;
    return ::unlink(path.c_str()) == 0;
}

bool syncFolder(const std::string& path) {
    if (path.empty()) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool renameFile(const std::string& from, const std::string& to) {
    if (from.empty() || to.empty() || injectedFault()) return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

namespace {

bool copyFileContents(const std::string& from, const std::string& to, int& error) {
    FileHandle in, out;
    if (!in.openRead(from) || !out.openWrite(to)) {
        error = errno ? errno : EIO;
        return false;
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const size_t n = in.read(buffer.data(), buffer.size());
        if (n == 0) break;
        if (out.write(buffer.data(), n) != n) {
            error = errno ? errno : EIO;
            out.close();
            ::unlink(to.c_str());
            return false;
        }
        if (n < buffer.size()) break;
    }
    return true;
}

}  // namespace

bool moveFile(const std::string& from, const std::string& to, int& error) {
    error = 0;
    if (from.empty() || to.empty()) {
        error = EINVAL;
        return false;
    }
    if (injectedFault()) {
        error = EIO;
        return false;
    }
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    error = errno;
    if (error != EXDEV) return false;
    // Another file system: copy under a temporary name, rename into place, then delete.
    const std::string partial = to + ".part";
    if (!copyFileContents(from, partial, error)) return false;
    if (::rename(partial.c_str(), to.c_str()) != 0) {
        error = errno;
        ::unlink(partial.c_str());
        return false;
    }
    ::unlink(from.c_str());
    error = 0;
    return true;
}

bool removeFolder(const std::string& path) {
    if (path.empty() || injectedFault()) return false;
    return ::rmdir(path.c_str()) == 0;
}

bool sameFile(const std::string& a, const std::string& b, bool& same) {
    same = false;
    if (a.empty() || b.empty() || injectedFault()) return false;
    struct stat sa, sb;
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    same = sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return true;
}

std::string systemErrorText(int error) {
    char buffer[512];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
}

// ---- Well-known folders ----

std::string profileFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return ".";
}

std::string tempPath() {
    constexpr size_t kMaxPath = 260;
    const char* candidates[] = {std::getenv("TMPDIR"), "/tmp"};
    for (const char* candidate : candidates) {
        if (candidate && *candidate && std::strlen(candidate) <= kMaxPath &&
            isDirectoryPath(candidate)) {
            std::string path(candidate);
            while (path.size() > 1 && path.back() == '/')
                path.pop_back();
            return path;
        }
    }
    return ".";
}

std::string makeTemporaryFolder(const std::string& prefix, const std::string& base) {
    const std::string folder = isDirectoryPath(base) ? base : tempPath();
    std::string pattern = folder + "/" + prefix + "XXXXXX";
    if (!injectedFault() && ::mkdtemp(pattern.data()) != nullptr) return pattern;
    SKV_LOG(Error, "Failed to create temporary filename");
    return {};
}

}  // namespace skv
