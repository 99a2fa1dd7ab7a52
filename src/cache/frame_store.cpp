#include "cache/frame_store.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "grid/memory_traffic.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/timer.h"

namespace skv {

// ---- CacheFrame ----

CachedGrid& CacheFrame::nextEntry() {
    if (size_t(gridCount_) >= entries_.size()) entries_.push_back(std::make_unique<CachedGrid>());
    return *entries_[size_t(gridCount_)];
}

bool CacheFrame::addGrid(const FloatGrid& source, uint32_t gridType, const AuxVector& auxVector) {
    if (gridType < kMinGridType || gridType > kMaxGridType) {
        // A grid file cannot hold it: the whole frame would fail to save, again and again.
        SKV_LOG(Error, "addGrid: invalid grid type " << gridType);
        return false;
    }
    CachedGrid& entry = nextEntry();
    entry.grid.resize(source.width(), source.height(), source.depth(), false);
    countTraffic(source.count(), 2);
    if (source.count() > 0) std::memcpy(entry.grid.data(), source.data(), source.byteSize());
    entry.gridType = gridType;
    entry.auxVector = auxVector;
    ++gridCount_;
    return true;
}

uint64_t CacheFrame::byteSize() const {
    uint64_t bytes = 0;
    for (const auto& entry : entries_)
        if (entry->gridType != 0) bytes += entry->grid.byteSize();
    return bytes;
}

void CacheFrame::clear() {
    clean_ = true;
    gridCount_ = 0;
    for (auto& entry : entries_)
        entry->gridType = 0;
    bytes_ = 0;
}

// ---- Construction and destruction ----

BFS::BFS() : filePrefix_("skv_sim_cache_") {
    ScopedLock lock(&storeMutex_);
    adjustBufferSize();
}

BFS::~BFS() {
    SKV_LOG(Debug, "BFS d'tor");
    ScopedLock lock(&storeMutex_);
    destroying_ = true;
    stopWorker();
    // Frames not yet on disk are the user's simulated data: a folder the user chose keeps
    // them. A temporary folder goes anyway.
    if (!temporary_ && cacheDirectory_.exists()) writeDirtyFrames(0);
    if (temporary_) removeCacheDirectory(false);
    waitForHolders();
    retired_.clear();
    pool_.clear();
    window_.clear();
    freeSlots_.clear();
}

void BFS::waitForHolders() {
    for (;;) {
        CacheFrame* busy = nullptr;
        for (const auto& frame : pool_)
            if (frame->held_ || frame->waiters_ > 0) busy = frame.get();
        for (const auto& frame : retired_)
            if (frame->held_ || frame->waiters_ > 0) busy = frame.get();
        if (!busy) return;
        ++busy->waiters_;
        storeMutex_.unlock();
        busy->slotLock_.lock();
        busy->slotLock_.unlock();
        storeMutex_.lock();
        --busy->waiters_;
    }
}

// ---- Window ----

int64_t BFS::positionOf(int64_t frameNumber) const {
    const int64_t p = frameNumber - windowStart_;
    return p < 0 || p >= int64_t(pool_.size()) ? -1 : p;
}

bool BFS::holdFrame(CacheFrame* frame, bool wait) {
    const auto self = std::this_thread::get_id();
    if (frame->held_ && frame->holder_ == self) {
        // Waiting would wait for ourselves.
        SKV_LOG(Error, "frame " << frame->frameNumber_ << " is already held by this thread");
        return false;
    }
    if (!frame->held_ && frame->waiters_ == 0 && frame->slotLock_.tryLock()) {
        frame->held_ = true;
        frame->holder_ = self;
        return true;
    }
    if (!wait) return false;
    ++frame->waiters_;  // keeps the frame alive (retired, not deleted) while we wait
    storeMutex_.unlock();
    frame->slotLock_.lock();
    storeMutex_.lock();
    --frame->waiters_;
    frame->held_ = true;
    frame->holder_ = self;
    return true;
}

void BFS::unholdFrame(CacheFrame* frame) {
    frame->held_ = false;
    frame->holder_ = std::thread::id();
    frame->slotLock_.unlock();
    if (frame->retired_) {
        if (frame->valid_ && !frame->clean_) {
            writePending_ = true;
            wakeWorker();
        }
        disposeRetired();
    }
}

void BFS::disposeRetired() {
    std::erase_if(retired_, [](const std::unique_ptr<CacheFrame>& frame) {
        return !frame->held_ && frame->waiters_ == 0 && !frame->writing_ &&
               (frame->clean_ || !frame->valid_);
    });
}

CacheFrame* BFS::tryGetFrame(int32_t frameNumber, bool wait, bool* refused) {
    for (;;) {
        currentFrame_ = frameNumber;
        const int64_t p = positionOf(frameNumber);
        if (p < 0 || window_[size_t(p)] < 0) return nullptr;
        CacheFrame* frame = pool_[size_t(window_[size_t(p)])].get();
        const bool selfHeld = frame->held_ && frame->holder_ == std::this_thread::get_id();
        if (!holdFrame(frame, wait)) {
            if (refused) *refused = selfHeld;
            return nullptr;
        }
        // Waiting released the store mutex: the frame may have been retired meanwhile.
        if (!frame->retired_) return frame;
        unholdFrame(frame);
    }
}

void BFS::evict(size_t position) {
    const int64_t index = window_[position];
    if (index < 0) return;
    CacheFrame* frame = pool_[size_t(index)].get();
    if (frame->valid_ && !frame->clean_ && !frame->writing_) writeFrame(frame);
    window_[position] = -1;
    if (frame->held_ || frame->waiters_ > 0) {
        // Someone reads it or fills it: it must not be cleared under them.
        frame->retired_ = true;
        retired_.push_back(std::move(pool_[size_t(index)]));
        pool_[size_t(index)] = std::make_unique<CacheFrame>();
    } else {
        frame->clear();
    }
    freeSlots_.push_back(size_t(index));
}

void BFS::shiftWindow(int64_t d) {
    const int64_t n = int64_t(pool_.size());
    if (d > 0) {
        SKV_LOG(Debug,
                "shifting buffer window from " << windowStart_ << " " << d << " to the right");
        for (int64_t p = 0; p < std::min(d, n); ++p)
            evict(size_t(p));
        for (int64_t i = 0; i + d < n; ++i)
            std::swap(window_[size_t(i)], window_[size_t(i + d)]);
        windowStart_ = int32_t(windowStart_ + d);
    } else {
        const int64_t m = -d;
        SKV_LOG(Debug,
                "shifting buffer window from " << windowStart_ << " " << m << " to the left");
        for (int64_t p = n - 1; p >= std::max<int64_t>(n - m, 0); --p)
            evict(size_t(p));
        for (int64_t i = n - 1; i >= m; --i)
            std::swap(window_[size_t(i)], window_[size_t(i - m)]);
        windowStart_ = int32_t(windowStart_ - m);
    }
}

CacheFrame* BFS::slotForFrame(int32_t frameNumber) {
    const int64_t n = int64_t(pool_.size());
    int64_t p = int64_t(frameNumber) - windowStart_;
    if (p < 0) {
        shiftWindow(p);
        p = 0;
    } else if (p >= n) {
        shiftWindow(p + 1 - n);
        p = n - 1;
    } else {
        evict(size_t(p));
    }
    // The position just emptied means at most n - 1 frames are placed: a free one exists.
    if (freeSlots_.empty()) {
        SKV_LOG(Error, "no free frame for frame " << frameNumber);
        return nullptr;
    }
    const size_t index = freeSlots_.back();
    freeSlots_.pop_back();
    window_[size_t(p)] = int64_t(index);
    return pool_[index].get();
}

// ---- Sizing ----

void BFS::adjustBufferSize() {
    uint64_t used = 0, total = 0;
    for (int64_t index : window_)
        if (index >= 0) {
            ++used;
            total += pool_[size_t(index)]->bytes_;
        }
    if (total == 0 || used == 0) {
        resizeBuffer(kMinPoolFrames);
        return;
    }
    const uint64_t size = pool_.size();
    const uint64_t average = total / used;
    if (used < size) total = average * size;
    if (total == memoryBudget_) return;
    if (total > memoryBudget_) {
        const uint64_t excess = (total - memoryBudget_ + average - 1) / average;
        SKV_LOG(Debug, "Buffer too big, avg_frame_size = " << average << ", used slots " << used
                                                           << ", est. used bytes = " << total);
        resizeBuffer(size > excess ? std::max<uint64_t>(size - excess, kMinPoolFrames)
                                   : kMinPoolFrames);
    } else {
        const uint64_t extra = (memoryBudget_ - total) / average;
        SKV_LOG(Debug, "Buffer too small, avg_frame_size = " << average << ", used slots " << used
                                                             << " est. used bytes = " << total);
        resizeBuffer(size + std::min<uint64_t>(extra, kMaxPoolFrames));
    }
}

void BFS::resizeBuffer(size_t n) {
    n = std::min(n, kMaxPoolFrames);
    const size_t old = pool_.size();
    if (n == old) return;
    if (!resizeMutex_.tryLock()) return;
    // Shrinking evicts frames, which a writer between its wait for a clean slot and the
    // placement of its frame must not see happen; and it must not wait for that writer
    // while holding the store mutex. So it is put off until the structure is free.
    if (n < old && !structureMutex_.tryLock()) {
        resizeMutex_.unlock();
        return;
    }
    SKV_LOG(Info, "Resizing buffer from " << old << " to " << n << " frames (" << memoryBudget_
                                          << " max memory)");
    if (n < old) {
        for (size_t i = 0; i < old - n; ++i)
            cleanSlots_.tryAcquire();
        for (size_t p = n; p < old; ++p)
            evict(p);
        for (size_t p = 0; p < n; ++p)
            if (window_[p] >= int64_t(n)) evict(p);
        pool_.resize(n);
        window_.resize(n);
        std::erase_if(freeSlots_, [n](size_t index) { return index >= n; });
        structureMutex_.unlock();
    } else {
        pool_.reserve(n);
        for (size_t index = old; index < n; ++index) {
            pool_.push_back(std::make_unique<CacheFrame>());
            freeSlots_.push_back(index);
        }
        window_.resize(n, -1);
        cleanSlots_.release(int(n - old));
    }
    resizeMutex_.unlock();
}

void BFS::setMemoryBudget(uint64_t bytes) {
    ScopedLock lock(&storeMutex_);
    memoryBudget_ = bytes;
}

uint64_t BFS::memoryBudget() const {
    ScopedLock lock(&storeMutex_);
    return memoryBudget_;
}

// ---- Writers ----

CacheFrame* BFS::beginWrite(int32_t frameNumber) {
    if (frameNumber < 0) {
        SKV_LOG(Error, "cannot write frame " << frameNumber);
        return nullptr;
    }
    ScopedLock structure(&structureMutex_);
    {
        ScopedLock lock(&storeMutex_);
        if (pool_.empty()) {
            SKV_LOG(Error, "empty buffer, cannot write");
            return nullptr;
        }
        wakeWorker();
    }
    // Waits until the worker has saved some dirty frame: bounds the dirty frames by the pool.
    cleanSlots_.acquire();
    ScopedLock lock(&storeMutex_);
    CacheFrame* frame = slotForFrame(frameNumber);
    if (!frame) {
        cleanSlots_.release(1);
        return nullptr;
    }
    holdFrame(frame, true);  // a free frame: nobody holds it, so this never waits
    frame->clear();
    frame->clean_ = false;
    frame->valid_ = true;
    frame->writing_ = true;
    frame->frameNumber_ = uint32_t(frameNumber);
    frame->times_ = TimeCursor{};
    return frame;
}

void BFS::endWrite(CacheFrame* frame) {
    if (!frame) return;
    ScopedLock lock(&storeMutex_);
    frame->bytes_ = frame->byteSize();
    frame->writing_ = false;
    writePending_ = true;
    unholdFrame(frame);
    adjustBufferSize();
    wakeWorker();
}

// ---- Readers ----

CacheFrame* BFS::acquireFrame(int32_t frameNumber, bool wait) {
    ScopedLock lock(&storeMutex_);
    readAheadEnabled_ = true;
    bool refused = false;
    CacheFrame* frame = frameNumber < 0 ? nullptr : tryGetFrame(frameNumber, wait, &refused);
    if (!frame && (!wait || refused || frameNumber < 0)) {
        SKV_LOG(Error, "can't get frame " << frameNumber);
        return nullptr;
    }
    if (!frame) {
        // A failure that is not news for this reader is retried: the file may exist by now.
        if (failedFrame_ == frameNumber) readFailed_ = false;
        ++readersWaiting_;
        readDone_.drain();
        for (;;) {
            wakeWorker();
            storeMutex_.unlock();
            readDone_.acquire();  // one pass of the worker has ended
            storeMutex_.lock();
            if (readFailed_ && failedFrame_ == frameNumber) {
                SKV_LOG(Warning, "Frame " << frameNumber << " not available");
                break;
            }
            frame = tryGetFrame(frameNumber, true, nullptr);
            if (frame) break;
        }
        --readersWaiting_;
        if (!frame) return nullptr;
    }
    if (frame->frameNumber_ != uint32_t(frameNumber))
        SKV_LOG(Error, "requested frame " << frameNumber << " got " << frame->frameNumber_);
    wakeWorker();  // read ahead
    return frame;
}

void BFS::releaseFrame(CacheFrame* frame) {
    if (!frame) return;
    ScopedLock lock(&storeMutex_);
    unholdFrame(frame);
}

// ---- Whole-buffer operations ----

void BFS::clearWindow(bool save) {
    // Lock order is structure before store. A writer may wait for a clean slot with the
    // structure mutex held while the worker is stopped: one more clean slot lets it through
    // (the count is reset below anyway).
    storeMutex_.unlock();
    cleanSlots_.release(1);
    structureMutex_.lock();
    storeMutex_.lock();
    if (!save) {
        for (int64_t index : window_)
            if (index >= 0 && !pool_[size_t(index)]->writing_) pool_[size_t(index)]->clean_ = true;
        for (auto& frame : retired_)
            if (!frame->writing_) frame->clean_ = true;
        disposeRetired();
    }
    for (size_t p = 0; p < window_.size(); ++p)
        evict(p);
    freeSlots_.clear();
    for (size_t index = 0; index < pool_.size(); ++index)
        freeSlots_.push_back(index);
    cleanSlots_.drain();
    cleanSlots_.release(int(pool_.size()));
    readDone_.release(std::max(1, readersWaiting_));  // a waiting reader looks again
    writePending_ = false;
    currentFrame_ = -1;
    readFailed_ = false;
    windowStart_ = 0;
    structureMutex_.unlock();
}

void BFS::resetBuffer(bool takeLock, bool stopTheWorker) {
    if (takeLock) storeMutex_.lock();
    if (stopTheWorker) stopWorker();
    clearWindow(true);
    if (takeLock) storeMutex_.unlock();
}

void BFS::flush() {
    ScopedLock lock(&storeMutex_);
    writeDirtyFrames(0);
}

void BFS::emptyCache() {
    ScopedLock lock(&storeMutex_);
    stopWorker();
    clearWindow(false);
    if (!cacheDirectory_.exists()) return;
    std::vector<std::string> names;
    cacheDirectory_.list(names);
    // Only what the store writes: a user's own file that happens to share the prefix stays.
    for (const auto& name : names)
        if (isFrameFileName(name)) removeFile(cacheDirectory_.path() + "/" + name);
}

// The prefix, the frame number (digits, a minus sign before a negative one), ".bcf", and
// ".tmp" for a file left half-written.
bool BFS::isFrameFileName(const std::string& name) const {
    if (!name.starts_with(filePrefix_)) return false;
    std::string_view rest(name);
    rest.remove_prefix(filePrefix_.size());
    if (rest.ends_with(".tmp")) rest.remove_suffix(4);
    if (!rest.ends_with(".bcf")) return false;
    rest.remove_suffix(4);
    return !rest.empty() && std::all_of(rest.begin(), rest.end(),
                                        [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
}

// ---- State ----

bool BFS::holdsFrames() const {
    ScopedLock lock(&storeMutex_);
    for (int64_t index : window_)
        if (index >= 0 && pool_[size_t(index)]->valid_) return true;
    for (const auto& frame : retired_)
        if (frame->valid_) return true;
    if (!cacheDirectory_.exists()) return false;
    std::vector<std::string> names;
    cacheDirectory_.list(names);
    return std::any_of(names.begin(), names.end(), [this](const std::string& name) {
        return isFrameFileName(name) && name.ends_with(".bcf");
    });
}

uint64_t BFS::lostFrames() const {
    ScopedLock lock(&storeMutex_);
    return lostFrames_;
}

bool BFS::outdated() const {
    ScopedLock lock(&storeMutex_);
    return outdated_;
}

void BFS::setOutdated(bool outdated) {
    ScopedLock lock(&storeMutex_);
    outdated_ = outdated;
}

void BFS::setWorkerPriority(int priority) {
    ScopedLock lock(&storeMutex_);
    workerPriority_ = priority;
}

size_t BFS::poolSize() const {
    ScopedLock lock(&storeMutex_);
    return pool_.size();
}

int32_t BFS::windowStart() const {
    ScopedLock lock(&storeMutex_);
    return windowStart_;
}

std::vector<int32_t> BFS::windowContents() const {
    ScopedLock lock(&storeMutex_);
    std::vector<int32_t> frames;
    for (int64_t index : window_)
        frames.push_back(index < 0 ? -1 : int32_t(pool_[size_t(index)]->frameNumber_));
    return frames;
}

// ---- The I/O worker ----

void BFS::wakeWorker() {
    if (stopping_) {
        wakeDuringStop_ = true;
        return;
    }
    if (destroying_) return;
    stopRequested_ = false;
    wakeSignal_.drain();  // pending wakes collapse into one
    wakeSignal_.release(1);
    if (!thread().isRunning()) thread().start(workerPriority_);
}

void BFS::stopWorker() {
    // Only one thread joins the worker; another stop waits until that one is done.
    while (stopping_) {
        storeMutex_.unlock();
        thread().sleep(1);
        storeMutex_.lock();
    }
    if (thread().isRunning()) {
        stopRequested_ = true;
        stopping_ = true;
        wakeSignal_.release(1);
        storeMutex_.unlock();
        thread().join();
        storeMutex_.lock();
        stopping_ = false;
    }
    wakeSignal_.drain();
    // A wake swallowed while joining belongs to a reader or writer that now waits for the
    // worker: start it again (it runs once the caller lets go of the store mutex).
    if (wakeDuringStop_) {
        wakeDuringStop_ = false;
        wakeWorker();
    }
}

void BFS::run() {
    SKV_LOG(Debug, "IOW starting");
    for (;;) {
        if (stopRequested_) break;
        thread().sleep(1);
        wakeSignal_.acquire();
        ScopedLock lock(&storeMutex_);
        if (stopRequested_) break;
        runPass();
    }
    SKV_LOG(Debug, "IOW terminating");
}

void BFS::runPass() {
    try {
        if (writePending_) writeDirtyFrames(1);
        // A reader waiting for a frame from disk is served even while dirty frames remain:
        // a simulation writing steadily would otherwise keep it waiting for ever.
        if (readAheadEnabled_ && (!writePending_ || readersWaiting_ > 0)) {
            if (pool_.empty()) {
                SKV_LOG(Error, "cannot read to buffer - zero size");
            } else if (currentFrame_ >= 0) {
                readFailed_ = false;
                try {
                    const int64_t p = positionOf(currentFrame_);
                    if (p >= 0 && window_[size_t(p)] >= 0) {
                        if (!writePending_) {
                            // Read ahead into the lowest empty position.
                            const auto empty = std::find(window_.begin(), window_.end(), -1);
                            const int64_t next = windowStart_ + (empty - window_.begin());
                            if (empty != window_.end() && next <= INT32_MAX &&
                                readFrame(int32_t(next)) == ReadResult::kLoaded)
                                wakeWorker();
                        }
                    } else {
                        switch (readFrame(currentFrame_)) {
                            case ReadResult::kLoaded:
                                wakeWorker();
                                break;
                            case ReadResult::kMissing:
                                readFailed_ = true;
                                failedFrame_ = currentFrame_;
                                break;
                            case ReadResult::kDeferred:
                                break;  // its newer version is on the way
                        }
                    }
                } catch (...) {
                    SKV_LOG(Error, "IOW: caught exception during read");
                    readFailed_ = true;
                    failedFrame_ = currentFrame_;
                }
            }
        }
        // Save the remaining dirty frames without waiting for another wake.
        if (writePending_) wakeWorker();
    } catch (const Exception& e) {
        SKV_LOG(Error, "SKV Exception in IOW: " << e.message());
    } catch (...) {
        SKV_LOG(Error, "Unknown Exception in IOW");
    }
    // Every pass ends a wait, whatever it did: waiting readers look again.
    readDone_.release(std::max(1, readersWaiting_));
}

std::string BFS::frameFilePath(int32_t frameNumber) const {
    return frameFilePathIn(cacheDirectory_.path(), frameNumber);
}

std::string BFS::frameFilePathIn(const std::string& folder, int32_t frameNumber) const {
    char number[16];
    std::snprintf(number, sizeof number, "%010i", frameNumber);
    return folder + "/" + filePrefix_ + number + ".bcf";
}

std::string BFS::frameFileName(int32_t frameNumber) const {
    ScopedLock lock(&storeMutex_);
    return frameFilePath(frameNumber);
}

bool BFS::writeFrame(CacheFrame* frame) {
    if (!frame->valid_ || frame->clean_ || frame->writing_) return false;
    // An older version of the same frame, retired while it was being written, must reach
    // the file first, or it would overwrite this one.
    if (!frame->retired_)
        for (const auto& older : retired_)
            if (older->frameNumber_ == frame->frameNumber_) writeFrame(older.get());
    const int32_t number = int32_t(frame->frameNumber_);
    if (cacheDirectory_.exists()) {
        const std::string name = frameFilePath(number);
        Timer timer;
        bool written = false;
        try {
            written = writeFrameFile(*frame, name, writeCodec_);
        } catch (const Exception& e) {
            SKV_LOG(Error, "SKV Exception in IOW: " << e.message());
        } catch (const std::exception&) {
            SKV_LOG(Error, "Unknown Exception in IOW");
        }
        if (!written) {
            SKV_LOG(Error, "IOW: Failed to write file " << name);
            ++lostFrames_;
        }
        SKV_LOG(Debug, "wrote frame " << number << " in " << timer.elapsed());
    } else {
        // A store without a folder keeps frames in RAM only (the engine's own bench and tests);
        // the host always gives one, and says so as an error when it cannot.
        SKV_LOG(Warning, "IOW: NOT writing frame " << number);
    }
    // Clean even when not saved: writers waiting for a clean frame must not stall; the data
    // stays in RAM until the frame is evicted.
    frame->clean_ = true;
    cleanSlots_.release(1);
    return true;
}

void BFS::writeDirtyFrames(int limit) {
    int written = 0;
    for (size_t i = 0; i < retired_.size(); ++i) {
        if (writeFrame(retired_[i].get()) && limit > 0 && ++written >= limit) {
            disposeRetired();
            return;
        }
    }
    disposeRetired();
    for (size_t p = 0; p < window_.size(); ++p) {
        if (window_[p] < 0) continue;
        if (writeFrame(pool_[size_t(window_[p])].get()) && limit > 0 && ++written >= limit) return;
    }
    writePending_ = false;
}

bool BFS::writeFrameFile(const CacheFrame& frame, const std::string& path, uint32_t codec) {
    // Written under another name and renamed into place, so a crash never leaves a torn file
    // under a frame's name.
    const std::string partial = path + ".tmp";
    GridFile file;
    if (!file.openForWriting(partial, true)) {
        SKV_LOG(Error, "Failed to open file " << path);
        removeFile(partial);
        removeFile(path);  // an older version must not pass for this one
        return false;
    }
    bool written = true;
    try {
        for (int32_t i = 0; i < frame.gridCount_ && written; ++i) {
            const CachedGrid& entry = *frame.entries_[size_t(i)];
            written =
                file.writeGrid(entry.gridType, codec, frame.times_, entry.auxVector, entry.grid);
        }
    } catch (...) {
        file.close();
        removeFile(partial);
        removeFile(path);
        throw;
    }
    // Durable before its name says so: the data before the rename, the rename (the folder's
    // entry) after it. A frame the device did not take is lost, not cached.
    written = written && file.sync();
    file.close();
    if (written && renameFile(partial, path) && syncFolder(cacheDirectory_.path())) return true;
    removeFile(partial);
    removeFile(path);
    return false;
}

BFS::ReadResult BFS::readFrame(int32_t frameNumber) {
    Timer timer;
    if (!cacheDirectory_.exists()) return ReadResult::kMissing;
    for (const auto& frame : retired_)
        if (frame->frameNumber_ == uint32_t(frameNumber) && frame->valid_ && !frame->clean_)
            return ReadResult::kDeferred;
    const std::string name = frameFilePath(frameNumber);
    {
        GridFile probe;
        if (!probe.openForReading(name)) {
            SKV_LOG(Debug, "Failed to open " << name);
            return ReadResult::kMissing;
        }
    }
    CacheFrame* frame = slotForFrame(frameNumber);
    if (!frame) return ReadResult::kMissing;
    std::string why;
    bool loaded = false, threw = false;
    try {
        loaded = loadFrameFile(*frame, name, frameNumber, why);
    } catch (const Exception& e) {
        threw = true;
        why = e.message();
    } catch (const std::exception& e) {
        threw = true;
        why = e.what();
    }
    if (!loaded) {
        if (threw) SKV_LOG(Error, "IOW: caught exception during read");
        SKV_LOG(Error, "Failed to read frame file " << name << ": " << why);
        // Nobody can have found the half-loaded frame yet (the store mutex is held): take it
        // out of the window again.
        const int64_t p = positionOf(frameNumber);
        frame->clear();
        frame->valid_ = false;
        if (p >= 0 && window_[size_t(p)] >= 0) {
            freeSlots_.push_back(size_t(window_[size_t(p)]));
            window_[size_t(p)] = -1;
        }
        return ReadResult::kMissing;
    }
    adjustBufferSize();
    SKV_LOG(Debug, "read frame " << frameNumber << " in " << timer.elapsed());
    return ReadResult::kLoaded;
}

bool BFS::loadFrameFile(CacheFrame& frame, const std::string& path, int32_t frameNumber,
                        std::string& why) {
    GridFile file;
    if (!file.openForReading(path)) {
        why = "cannot open it";
        return false;
    }
    frame.clear();
    frame.valid_ = false;
    frame.frameNumber_ = uint32_t(frameNumber);
    uint64_t cells = 0;
    GridChunkHeader header;
    while (file.readChunk(header)) {
        if (frame.gridCount_ >= kMaxGridsPerFrame) {
            why = "more grids than a frame holds";
            return false;
        }
        file.setCellLimit(std::min(GridFile::kDefaultCellLimit, kMaxFrameCells - cells));
        CachedGrid& entry = frame.nextEntry();
        if (!file.readFloatGrid(header, entry.auxVector, entry.grid)) {
            why = file.error();
            return false;
        }
        entry.gridType = header.gridType;
        // The grids of a frame cover one set of cells, one plane deep: cell-centred grids of
        // one size, face grids (staggered velocity) at most one cell more along an axis.
        // Readers index one grid by another's size, so a frame whose grids disagree beyond that
        // is damaged, not partly usable.
        const FloatGrid& first = frame.entries_[0]->grid;
        const auto near = [](uint32_t a, uint32_t b) { return (a > b ? a - b : b - a) <= 1; };
        if (entry.grid.depth() != 1 || !near(entry.grid.width(), first.width()) ||
            !near(entry.grid.height(), first.height()) ||
            entry.grid.count() != uint64_t(entry.grid.width()) * entry.grid.height()) {
            why = "grid type " + std::to_string(header.gridType) + " is " +
                  std::to_string(entry.grid.width()) + "x" + std::to_string(entry.grid.height()) +
                  "x" + std::to_string(entry.grid.depth()) + " in a frame of " +
                  std::to_string(first.width()) + "x" + std::to_string(first.height());
            return false;
        }
        cells += entry.grid.count();
        frame.times_ = header.timeCursor();
        ++frame.gridCount_;
    }
    if (file.failed()) {
        why = file.error();
        return false;
    }
    frame.valid_ = true;
    frame.clean_ = true;  // it is on disk: never written back unless written again
    frame.bytes_ = frame.byteSize();
    return true;
}

// ---- Guards ----

CacheFrameGuard::CacheFrameGuard(BFS* store, int32_t frameNumber, bool wait) : store_(store) {
    if (store_) frame_ = store_->acquireFrame(frameNumber, wait);
    if (!frame_) {
        SKV_LOG(Error, "CacheFrameGuard: failed to acquire frame " << frameNumber);
        return;
    }
    times_ = frame_->times();
    for (int32_t i = 0; i < frame_->gridCount(); ++i) {
        const CachedGrid& entry = frame_->entry(i);
        if (entry.gridType < kGridTypes) grids_[entry.gridType] = &entry.grid;
    }
}

CacheFrameGuard::~CacheFrameGuard() {
    if (frame_) store_->releaseFrame(frame_);
}

CacheFrameGuard::Size CacheFrameGuard::frameSize() const {
    if (const FloatGrid* g = grids_[2]) return {g->width(), g->height(), g->depth()};
    if (const FloatGrid* g = grids_[5])
        return {g->width() > 0 ? g->width() - 1 : 0, g->height(), g->depth()};
    if (const FloatGrid* g = grids_[3]) return {g->width(), g->height(), g->depth()};
    if (const FloatGrid* g = grids_[10]) return {g->width(), g->height(), g->depth()};
    return {};
}

CacheFrame* CacheWriteGuard::begin(int32_t frameNumber) {
    end();
    frame_ = store_->beginWrite(frameNumber);
    return frame_;
}

void CacheWriteGuard::end() {
    if (frame_) {
        store_->endWrite(frame_);
        frame_ = nullptr;
    }
}

}  // namespace skv
