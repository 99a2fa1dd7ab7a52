#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cache/grid_file.h"
#include "grid/float_grid.h"
#include "grid/rational.h"
#include "platform/files.h"
#include "platform/mutex.h"
#include "platform/semaphore.h"
#include "platform/thread.h"

namespace skv {

class BFS;

// One grid of a cached frame: a private copy of the grid with its type (1..23; 0 marks an
// entry not in use) and an aux vector stored and returned verbatim.
struct CachedGrid {
    uint32_t gridType = 0;
    AuxVector auxVector{0.0f, 0.0f, 0.0f};
    FloatGrid grid;
};

// One frame of the RAM pool. Entries are allocated on demand and kept, with their grids'
// memory, when the frame is cleared and refilled, so a steady simulation reuses memory.
//
// Between BFS::beginWrite and BFS::endWrite the writer owns the frame and fills it with
// addGrid and setTimes; a reader sees it only through a held frame (CacheFrameGuard), whose
// contents no one changes while it is held.
class CacheFrame {
  public:
    CacheFrame() = default;
    CacheFrame(const CacheFrame&) = delete;
    CacheFrame& operator=(const CacheFrame&) = delete;

    // Appends a copy of `source` as the next entry. False (and nothing stored) for a type
    // outside 1..23, which no grid file can hold.
    bool addGrid(const FloatGrid& source, uint32_t gridType, const AuxVector& auxVector);
    void setTimes(const TimeCursor& times) { times_ = times; }

    int32_t gridCount() const { return gridCount_; }
    const CachedGrid& entry(int32_t i) const { return *entries_[size_t(i)]; }
    uint32_t frameNumber() const { return frameNumber_; }
    const TimeCursor& times() const { return times_; }
    // Bookkeeping of the store: on disk (or never to be written), and filled at least once.
    // The worker may mark a held frame clean at any time.
    bool isClean() const { return clean_; }
    bool isValid() const { return valid_; }
    // Sum of the byte sizes of the grids in use.
    uint64_t byteSize() const;
    // Marks clean and drops every entry from use; the grids keep their memory.
    void clear();

  private:
    friend class BFS;
    CachedGrid& nextEntry();  // the entry at index gridCount_, allocated when missing

    int32_t gridCount_ = 0;
    std::vector<std::unique_ptr<CachedGrid>> entries_;
    uint32_t frameNumber_ = 0;
    TimeCursor times_;
    bool clean_ = true;
    bool valid_ = false;

    // Bookkeeping of the store, guarded by its store mutex.
    //
    // The slot lock travels with the frame, not with a window position: a hold always
    // releases the lock it took, however the window moved meanwhile. A frame that is held,
    // waited for or being written when its position is evicted is retired instead of cleared:
    // it leaves the pool (a fresh frame takes its index) and lives on, untouched, until its
    // last holder lets go, so nobody ever reads a frame that is being refilled.
    Mutex slotLock_;
    bool held_ = false;
    std::thread::id holder_;
    int waiters_ = 0;
    bool writing_ = false;
    bool retired_ = false;
    uint64_t bytes_ = 0;  // byteSize() as of the last fill, read without the frame's lock
};

// The buffered frame store: a window of consecutive frames in RAM, sized from a memory
// budget, backed by one grid file per frame in the cache directory, which its own background
// worker (the I/O worker, run()) writes and reads at idle priority.
//
// Threads: one writer (the simulation) at a time; any number of readers; the worker. Lock
// order: structure mutex, then store mutex; a slot lock is never waited for while the store
// mutex is held.
class BFS : public Worker {
  public:
    static constexpr size_t kMinPoolFrames = 2;
    // A bound on the pool independent of the budget: frames a few bytes large must not make
    // the estimate ask for millions of pool entries.
    static constexpr size_t kMaxPoolFrames = size_t(1) << 16;
    // Grids one frame file may hold, and their cells in all: grid files are input, and a
    // frame holds at most one grid per type in practice.
    static constexpr int32_t kMaxGridsPerFrame = 64;
    static constexpr uint64_t kMaxFrameCells = uint64_t(1) << 29;

    BFS();
    // Stops the worker. A user's (non-temporary) cache directory receives every frame not yet
    // written; a temporary one is removed with its files. Waits until no frame is held.
    ~BFS() override;
    BFS(const BFS&) = delete;
    BFS& operator=(const BFS&) = delete;

    // The I/O worker's loop; runs on the store's own thread.
    void run() override;

    // ---- Writing (the simulation) ----
    // Places frame `frameNumber` in the window and returns it for filling, after waiting until
    // some pool frame may be overwritten. Null when the number is negative.
    CacheFrame* beginWrite(int32_t frameNumber);
    // Ends the fill: the frame becomes readable and is queued for its file.
    void endWrite(CacheFrame* frame);

    // ---- Reading (rendering) ----
    // Holds frame `frameNumber`: from RAM, or, with `wait`, read back from disk by the worker.
    // Null when it is neither (or, without wait, when it is busy). Release with releaseFrame.
    // A thread must not hold the same frame twice.
    CacheFrame* acquireFrame(int32_t frameNumber, bool wait);
    void releaseFrame(CacheFrame* frame);

    // ---- Sizing and state ----
    void setMemoryBudget(uint64_t bytes);
    uint64_t memoryBudget() const;
    // Writes every frame still dirty, evicts the window to disk and starts again at frame 0.
    // takeLock false: only from inside the store, with the store mutex held by the caller.
    void resetBuffer(bool takeLock, bool stopWorker);
    // Writes every dirty frame now, on the calling thread.
    void flush();
    // Forgets every frame in RAM without writing it and deletes the directory's frame files
    // (the cached simulation no longer matches its parameters).
    void emptyCache();

    // Whether the cache holds simulated frames: frames in RAM or frame files on disk.
    bool holdsFrames() const;
    // Frames whose file could not be written (disk full, permissions): lost once they leave
    // RAM. Counts since construction.
    uint64_t lostFrames() const;
    // Kept for the host: whether the cached simulation is outdated. The store never reads it.
    bool outdated() const;
    void setOutdated(bool outdated);
    // Priority of the worker thread when it next starts (ThreadPriority; idle by default).
    void setWorkerPriority(int priority);

    // ---- Cache directory (cache_directory.cpp) ----
    // Opens `path` (creating one folder level when asked) as the cache directory; frames
    // not yet written go there. takeLock false: the caller holds the store mutex.
    bool openCacheDirectory(const std::string& path, bool create, bool takeLock);
    // Deletes the frame files and the folder; false (and logged) when the folder stays.
    bool removeCacheDirectory(bool takeLock);
    // Moves the frame files into `newPath`, which becomes the user's cache directory. On
    // failure `errorText` is the system's message and the cache stays where it was.
    bool moveCache(const std::string& newPath, std::string& errorText);
    bool isTemporary() const;
    void setTemporary(bool temporary);
    // The cache directory's path while it exists, else empty.
    std::string cacheDirectoryPath() const;
    // The file that holds frame `frameNumber` in the cache directory.
    std::string frameFileName(int32_t frameNumber) const;

    // ---- Diagnostics ----
    size_t poolSize() const;
    int32_t windowStart() const;
    // The frame number held at each window position, -1 where none.
    std::vector<int32_t> windowContents() const;

  private:
    enum class ReadResult { kLoaded, kMissing, kDeferred };

    // All of these run with storeMutex_ held.
    int64_t positionOf(int64_t frameNumber) const;
    bool holdFrame(CacheFrame* frame, bool wait);
    void unholdFrame(CacheFrame* frame);
    void disposeRetired();
    // Null when the frame is not in the window, or busy (without wait), or held by the calling
    // thread (then *refused is set).
    CacheFrame* tryGetFrame(int32_t frameNumber, bool wait, bool* refused);
    void evict(size_t position);
    void shiftWindow(int64_t d);
    CacheFrame* slotForFrame(int32_t frameNumber);
    void adjustBufferSize();
    void resizeBuffer(size_t n);
    // Evicts the whole window (saving dirty frames when `save`) and starts it again at 0.
    void clearWindow(bool save);
    void wakeWorker();
    void stopWorker();
    void runPass();
    bool writeFrame(CacheFrame* frame);
    void writeDirtyFrames(int limit);
    ReadResult readFrame(int32_t frameNumber);
    bool loadFrameFile(CacheFrame& frame, const std::string& path, int32_t frameNumber,
                       std::string& why);
    bool writeFrameFile(const CacheFrame& frame, const std::string& path, uint32_t codec);
    void removeLeftoverFiles();
    std::string frameFilePath(int32_t frameNumber) const;
    // True for the names of the store's frame files and of those left half-written.
    bool isFrameFileName(const std::string& name) const;
    std::string frameFilePathIn(const std::string& folder, int32_t frameNumber) const;
    void waitForHolders();

    std::atomic<bool> stopRequested_{false};
    Semaphore wakeSignal_;
    Semaphore readDone_;
    Semaphore cleanSlots_;
    int32_t currentFrame_ = -1;
    bool writePending_ = false;
    bool readAheadEnabled_ = false;
    bool readFailed_ = false;
    int32_t failedFrame_ = -1;  // the frame readFailed_ is about
    bool outdated_ = true;
    bool temporary_ = true;
    Directory cacheDirectory_;
    std::string filePrefix_;
    uint32_t writeCodec_ = kCodecRunLength;
    mutable Mutex storeMutex_{false};
    Mutex structureMutex_{false};
    Mutex resizeMutex_{false};
    uint64_t memoryBudget_ = 0;
    std::vector<std::unique_ptr<CacheFrame>> pool_;
    std::vector<size_t> freeSlots_;  // a stack: the most recently freed index is reused first
    int32_t windowStart_ = 0;
    std::vector<int64_t> window_;  // pool index at each position, -1 for none
    std::vector<std::unique_ptr<CacheFrame>> retired_;

    // Worker lifecycle (store mutex).
    int workerPriority_ = kPriorityIdle;
    bool stopping_ = false;        // stopWorker is joining the thread
    bool wakeDuringStop_ = false;  // a wake arrived meanwhile; honoured once the stop is done
    bool destroying_ = false;
    int readersWaiting_ = 0;  // readers blocked in acquireFrame for the worker
    uint64_t lostFrames_ = 0;
};

// Scoped read access to one frame by number; logs when the frame cannot be acquired.
class CacheFrameGuard {
  public:
    static constexpr uint32_t kGridTypes = 24;  // pointers indexed by grid type, 0 unused

    struct Size {
        uint32_t width = 0, height = 0, depth = 0;
    };

    CacheFrameGuard(BFS* store, int32_t frameNumber, bool wait);
    ~CacheFrameGuard();
    CacheFrameGuard(const CacheFrameGuard&) = delete;
    CacheFrameGuard& operator=(const CacheFrameGuard&) = delete;

    CacheFrame* frame() const { return frame_; }
    const TimeCursor& times() const { return times_; }
    // The frame's grid of that type (the last entry of the type wins), or null.
    const FloatGrid* grid(uint32_t gridType) const {
        return gridType < kGridTypes ? grids_[gridType] : nullptr;
    }
    // Dimensions of the first present grid among density (2), velocity u (5; its width
    // minus one: u lives on faces), temperature (3) and colour red (10); zeros when none.
    Size frameSize() const;

  private:
    BFS* store_;
    CacheFrame* frame_ = nullptr;
    TimeCursor times_;
    const FloatGrid* grids_[kGridTypes] = {};
};

// Scoped write access: begin() hands out the frame to fill, ending the previous one.
class CacheWriteGuard {
  public:
    explicit CacheWriteGuard(BFS* store) : store_(store) {}
    ~CacheWriteGuard() { end(); }
    CacheWriteGuard(const CacheWriteGuard&) = delete;
    CacheWriteGuard& operator=(const CacheWriteGuard&) = delete;

    CacheFrame* begin(int32_t frameNumber);
    void end();
    CacheFrame* frame() const { return frame_; }

  private:
    BFS* store_;
    CacheFrame* frame_ = nullptr;
};

}  // namespace skv
