// The directory side of the frame store, and the process-wide record of temporary cache
// folders. Every operation that touches the folder holds the store mutex and stops the I/O
// worker first, so no frame file is written or read while the folder is opened, moved or
// removed.
#include "cache/cache_directory.h"

#include <cerrno>

#include "platform/files.h"
#include "platform/log.h"
#include "platform/mutex.h"

namespace skv {
namespace {

constexpr size_t kMaxErrorText = 4096;

struct TemporaryFolders {
    Mutex mutex;
    std::vector<std::string> paths;
};

// Never destroyed: the purge may run late during unload.
TemporaryFolders& temporaryFolders() {
    static TemporaryFolders* folders = new TemporaryFolders;
    return *folders;
}

void recordTemporaryFolder(const std::string& path) {
    TemporaryFolders& folders = temporaryFolders();
    ScopedLock lock(&folders.mutex);
    folders.paths.push_back(path);
}

// A temporary folder that became the user's is no longer the purge's to delete.
void forgetTemporaryFolder(const std::string& path) {
    TemporaryFolders& folders = temporaryFolders();
    ScopedLock lock(&folders.mutex);
    std::erase_if(folders.paths, [&path](const std::string& recorded) {
        bool same = false;
        return recorded == path || (sameFile(recorded, path, same) && same);
    });
}

}  // namespace

// ---- The store's folder ----

bool BFS::isTemporary() const {
    ScopedLock lock(&storeMutex_);
    return temporary_;
}

void BFS::setTemporary(bool temporary) {
    ScopedLock lock(&storeMutex_);
    temporary_ = temporary;
}

std::string BFS::cacheDirectoryPath() const {
    ScopedLock lock(&storeMutex_);
    return cacheDirectory_.exists() ? cacheDirectory_.path() : std::string();
}

void BFS::removeLeftoverFiles() {
    // Frame files half-written when a process died: never valid, never renamed into place.
    std::vector<std::string> names;
    cacheDirectory_.list(names);
    for (const auto& name : names)
        if (name.starts_with(filePrefix_) && name.ends_with(".bcf.tmp"))
            removeFile(cacheDirectory_.path() + "/" + name);
}

bool BFS::openCacheDirectory(const std::string& path, bool create, bool takeLock) {
    ScopedLock lock(&storeMutex_, takeLock);
    if (path.empty()) return false;
    cacheDirectory_.set(path);
    if (!cacheDirectory_.exists() && create) {
        if (cacheDirectory_.create(path))
            cacheDirectory_.set(path);
        else
            SKV_LOG(Error, "Failed to create directory " << path);
    }
    if (cacheDirectory_.exists()) {
        SKV_LOG(Info, "Using cache directory " << path);
        removeLeftoverFiles();
        resetBuffer(false, true);  // frames still dirty in RAM go to the new folder
        wakeWorker();
        return true;
    }
    SKV_LOG(Error, "Failed to open cache directory " << path);
    return false;
}

bool BFS::removeCacheDirectory(bool takeLock) {
    ScopedLock lock(&storeMutex_, takeLock);
    if (!cacheDirectory_.exists()) return false;
    stopWorker();
    for (int32_t frame = 0; removeFile(frameFilePath(frame)); ++frame) {
    }
    const std::string path = cacheDirectory_.path();
    if (removeFolder(path)) {
        cacheDirectory_.clear();
        return true;
    }
    SKV_LOG(Error, "Failed to remove cache directory " << path);
    return false;
}

bool BFS::moveCache(const std::string& newPath, std::string& errorText) {
    ScopedLock lock(&storeMutex_);
    if (!cacheDirectory_.exists() || newPath.empty()) return false;
    stopWorker();
    Directory target;
    if (!target.set(newPath) && !target.create(newPath)) {
        SKV_LOG(Warning, "Failed to create dir to move cache to: " << newPath);
        wakeWorker();
        return false;
    }
    const std::string oldPath = cacheDirectory_.path();
    int error = 0;
    int32_t moved = 0;
    bool same = false;
    if (!sameFile(oldPath, newPath, same)) {
        error = errno != 0 ? errno : EIO;
    } else if (same) {
        // Moving files onto themselves and then removing the old folder's files would
        // delete the cache: the folder simply becomes the user's.
        errorText.clear();
        temporary_ = false;
        forgetTemporaryFolder(oldPath);
        wakeWorker();
        return true;
    } else {
        while (moveFile(frameFilePathIn(oldPath, moved), frameFilePathIn(newPath, moved), error))
            ++moved;
    }
    if (error == 0 || error == ENOENT) {  // ENOENT: the next frame has no file
        removeCacheDirectory(false);
        errorText.clear();
        openCacheDirectory(newPath, true, false);
        temporary_ = false;  // the folder it was moved to belongs to the user
        return true;
    }
    SKV_LOG(Error, "Failed to move cache from " << oldPath << " to " << newPath << "\n");
    errorText = systemErrorText(error).substr(0, kMaxErrorText);
    // Put back what was moved: a cache split over two folders would lose its first frames
    // at the next attempt, which starts again from frame 0 in the old folder.
    for (int32_t frame = 0; frame < moved; ++frame) {
        int ignored = 0;
        moveFile(frameFilePathIn(newPath, frame), frameFilePathIn(oldPath, frame), ignored);
    }
    wakeWorker();
    return false;
}

// ---- Choosing and purging ----

bool chooseCacheDirectory(BFS& store, std::string& path, bool allowTemporary) {
    const std::string current = store.cacheDirectoryPath();
    if (!current.empty() && !path.empty() && path == current) return true;
    if (!current.empty() && store.isTemporary()) store.removeCacheDirectory(true);
    if (store.openCacheDirectory(path, false, true)) {
        store.setTemporary(false);
        forgetTemporaryFolder(path);  // a user who chose a temporary folder keeps it
        return true;
    }
    if (!allowTemporary) return false;
    store.setTemporary(true);
    path = makeTemporaryFolder("skv");
    const bool opened = store.openCacheDirectory(path, true, true);
    if (opened)
        recordTemporaryFolder(path);
    else
        SKV_LOG(Error, "Failed to create sim cache directory " << path);
    return opened;
}

void purgeTempFolders() {
    TemporaryFolders& folders = temporaryFolders();
    std::vector<std::string> paths;
    {
        ScopedLock lock(&folders.mutex);
        paths.swap(folders.paths);
    }
    for (const auto& path : paths) {
        // Stores remove their own temporary folders when they go; those are not failures.
        if (!Directory().set(path)) continue;
        if (!deleteTree(path)) SKV_LOG(Error, "purgeTempFolders: failed to delete " << path);
    }
}

std::vector<std::string> temporaryCacheFolders() {
    TemporaryFolders& folders = temporaryFolders();
    ScopedLock lock(&folders.mutex);
    return folders.paths;
}

}  // namespace skv
