#pragma once

#include <atomic>
#include <memory>
#include <thread>

namespace skv {

// Work executed on a worker thread.
class Runnable {
  public:
    virtual ~Runnable() = default;
    virtual void run() = 0;
};

// Priorities understood by Thread::start; other values leave the default priority.
enum ThreadPriority : int {
    kPriorityNormal = 0,
    kPriorityHighest = 1,
    kPriorityLowest = 2,
    kPriorityIdle = 3,
};

// A platform thread that runs a Runnable it does not own. It can be started again once its
// previous run has ended.
//
// terminate() is cooperative: a std::thread cannot be killed portably (and killing a thread
// that holds a lock or half-wrote a file is what we least want), so it sets a flag that the
// runnable may poll with Thread::terminateRequested() and then waits for the run to end.
class Thread {
  public:
    static std::unique_ptr<Thread> create(Runnable* runnable);

    virtual ~Thread() = default;
    virtual void start(int priority) = 0;  // throws Exception "Failed to create Thread: ..."
    virtual bool join() = 0;               // false without a handle or when waiting failed
    virtual void terminate() = 0;
    virtual bool isRunning() const = 0;
    virtual void sleep(unsigned milliseconds) = 0;

    virtual Runnable* runnable() const = 0;

    // True on a thread started by Thread whose owner called terminate().
    static bool terminateRequested();
};

// The function every Thread runs: calls the runnable's run, logging misuse.
unsigned ThreadEntry(Thread* thread);

// A Runnable that owns the Thread running it. The destructor does not join: owners stop
// their workers (through their own stop flag and join) before destroying them.
class Worker : public Runnable {
  protected:
    Worker();
    ~Worker() override;
    Thread& thread() { return *thread_; }
    const Thread& thread() const { return *thread_; }

  private:
    std::unique_ptr<Thread> thread_;
};

}  // namespace skv
