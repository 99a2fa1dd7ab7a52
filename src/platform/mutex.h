#pragma once

#include <mutex>

namespace skv {

// A process-local mutex. With tracing on, every lock and unlock writes a debug line
// ("Mutex <address> locked" after acquiring, "... unlocked" before releasing).
class Mutex {
  public:
    explicit Mutex(bool trace = false) : trace_(trace) {}
    virtual ~Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    virtual void lock();
    virtual bool tryLock();
    virtual void unlock();

    bool tracing() const { return trace_; }

  private:
    std::mutex mutex_;  // created eagerly: no race on first use
    bool trace_;
};

// Locks on construction when asked to, unlocks on destruction if it locked.
class ScopedLock {
  public:
    explicit ScopedLock(Mutex* mutex, bool lock = true) : mutex_(mutex), locked_(false) {
        if (lock && mutex_) {
            mutex_->lock();
            locked_ = true;
        }
    }
    ~ScopedLock() {
        if (locked_) mutex_->unlock();
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    Mutex* mutex_;
    bool locked_;
};

}  // namespace skv
