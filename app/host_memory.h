#pragma once

#include <cstddef>
#include <mutex>
#include <unordered_map>

#include "host/sdk/ae_types.h"

namespace skv::app {

// The host's memory handles: a handle points at the pointer of its block, so the block may be
// reallocated while the handle stays. Every live handle is tracked, so that a handle the
// plug-in never disposed, or one it hands back twice, is found.
class HandleHeap {
  public:
    ~HandleHeap();
    PF_Handle allocate(size_t size);  // zeroed; null when out of memory
    void* lock(PF_Handle handle);
    void unlock(PF_Handle handle);
    bool dispose(PF_Handle handle);  // false for a handle that is not live
    size_t size(PF_Handle handle) const;
    bool resize(PF_Handle handle, size_t size);
    bool live(PF_Handle handle) const;
    size_t liveCount() const;
    // Fails the next allocations (tests of the plug-in's out-of-memory paths).
    void failAllocations(int count) { failing_ = count; }

  private:
    struct Block {
        void* data;
        size_t size;
        int locks;
    };
    mutable std::mutex mutex_;
    std::unordered_map<PF_Handle, Block*> blocks_;
    int failing_ = 0;
};

}  // namespace skv::app
