#include "host_memory.h"

#include <cstdlib>
#include <cstring>

namespace skv::app {

HandleHeap::~HandleHeap() {
    for (auto& [handle, block] : blocks_) {
        std::free(block->data);
        delete block;
    }
}

PF_Handle HandleHeap::allocate(size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failing_ > 0) {
        --failing_;
        return nullptr;
    }
    void* data = std::calloc(1, size ? size : 1);
    if (!data) return nullptr;
    auto* block = new Block{data, size, 0};
    // The block's first member is the data pointer: the handle is its address.
    auto handle = reinterpret_cast<PF_Handle>(&block->data);
    blocks_[handle] = block;
    return handle;
}

void* HandleHeap::lock(PF_Handle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = blocks_.find(handle);
    if (it == blocks_.end()) return nullptr;
    ++it->second->locks;
    return it->second->data;
}

void HandleHeap::unlock(PF_Handle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = blocks_.find(handle);
    if (it != blocks_.end() && it->second->locks > 0) --it->second->locks;
}

bool HandleHeap::dispose(PF_Handle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = blocks_.find(handle);
    if (it == blocks_.end()) return false;
    std::free(it->second->data);
    delete it->second;
    blocks_.erase(it);
    return true;
}

size_t HandleHeap::size(PF_Handle handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = blocks_.find(handle);
    return it == blocks_.end() ? 0 : it->second->size;
}

bool HandleHeap::resize(PF_Handle handle, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = blocks_.find(handle);
    if (it == blocks_.end() || it->second->locks > 0) return false;
    void* data = std::realloc(it->second->data, size ? size : 1);
    if (!data) return false;
    if (size > it->second->size)
        std::memset(static_cast<char*>(data) + it->second->size, 0, size - it->second->size);
    it->second->data = data;
    it->second->size = size;
    return true;
}

bool HandleHeap::live(PF_Handle handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.count(handle) != 0;
}

size_t HandleHeap::liveCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.size();
}

}  // namespace skv::app
