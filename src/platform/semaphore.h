#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace skv {

// Counting semaphore starting at 0, bounded by the largest 32-bit signed value.
class Semaphore {
  public:
    static constexpr int64_t kMaxCount = INT32_MAX;

    Semaphore() = default;
    virtual ~Semaphore() = default;
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    virtual bool tryAcquire();        // takes a count if one is there, never waits
    virtual void acquire();           // waits for a count
    virtual void drain();             // takes every count there is (count becomes 0)
    virtual void release(int n = 1);  // adds n (saturating at kMaxCount)

  private:
    std::mutex mutex_;
    std::condition_variable available_;
    int64_t count_ = 0;
};

}  // namespace skv
