#include "platform/semaphore.h"

#include <algorithm>

namespace skv {

bool Semaphore::tryAcquire() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0) return false;
    --count_;
    return true;
}

void Semaphore::acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    available_.wait(lock, [this] { return count_ > 0; });
    --count_;
}

void Semaphore::drain() {
    std::lock_guard<std::mutex> lock(mutex_);
    count_ = 0;
}

void Semaphore::release(int n) {
    if (n <= 0) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        count_ = std::min<int64_t>(kMaxCount, count_ + n);
    }
    if (n == 1)
        available_.notify_one();
    else
        available_.notify_all();
}

}  // namespace skv
