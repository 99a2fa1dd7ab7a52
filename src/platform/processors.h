#pragma once

namespace skv {

// The processors this process may run on: its affinity mask, capped by a CPU quota of its
// control group (a container's or a service's share of the machine). At least 1.
int availableProcessors();

// How many of those no thread of another process wants right now: the kernel's instantaneous
// count of runnable threads (/proc/loadavg) less this process's own. At least 1;
// availableProcessors() where the count cannot be read.
int idleProcessors();

// For the length of one piece of parallel work (a frame): OpenMP teams of the calling thread
// no larger than the processors idle when it starts, so that threads of ours do not wait at
// every barrier for a sibling the scheduler has put aside for another program. The thread's
// own limit (omp_set_num_threads, OMP_NUM_THREADS) still caps it, and is restored after.
class ThreadTeam {
  public:
    ThreadTeam();
    ~ThreadTeam();
    ThreadTeam(const ThreadTeam&) = delete;
    ThreadTeam& operator=(const ThreadTeam&) = delete;
    int threads() const { return threads_; }

  private:
    int previous_;
    int threads_;
};

// Lets the OpenMP threads that the calling thread keeps for its parallel loops go; its next
// loop starts them again (a few tens of microseconds). For a thread that hands parallel work
// to another thread of ours (the window thread to the simulation's worker): libgomp keeps idle
// workers spinning only while it manages no more threads than there are processors, and the
// second team beside the worker's made it put the worker's team to sleep, and wake it, at
// every loop of a sub-step. Does nothing inside a parallel region.
void releaseIdleThreads();

}  // namespace skv
