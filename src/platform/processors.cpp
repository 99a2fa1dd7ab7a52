#include "platform/processors.h"

#include <dirent.h>
#include <omp.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace skv {
namespace {

// The quota of the control group as processors (rounded up), or 0 when there is none: cgroup
// v2's cpu.max ("max 100000" or "QUOTA PERIOD"), else v1's cfs_quota_us / cfs_period_us.
int quotaProcessors() {
    std::ifstream v2("/sys/fs/cgroup/cpu.max");
    std::string quota;
    double period = 0;
    if (v2 >> quota >> period) {
        if (quota == "max" || period <= 0) return 0;
        return int(std::ceil(std::stod(quota) / period));
    }
    std::ifstream q1("/sys/fs/cgroup/cpu/cpu.cfs_quota_us"),
        p1("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
    double q = 0, p = 0;
    if (q1 >> q && p1 >> p && q > 0 && p > 0) return int(std::ceil(q / p));
    return 0;
}

}  // namespace

int availableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    int count = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
    if (count <= 0) count = omp_get_num_procs();
    // Read once: every frame asks, and a control group's quota is set when a process starts.
    static const int quota = [] {
        try {
            return quotaProcessors();
        } catch (...) {
            return 0;  // an unreadable quota is no quota
        }
    }();
    if (quota > 0) count = std::min(count, quota);
    return std::max(1, count);
}

namespace {

// Threads of this process that are running or runnable now (the caller among them): an idle
// OpenMP worker still spinning after the last parallel region is one of ours, not a rival.
int ownRunnableThreads() {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return 1;
    int runnable = 0;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const std::string path = std::string("/proc/self/task/") + entry->d_name + "/stat";
        std::FILE* file = std::fopen(path.c_str(), "r");
        if (!file) continue;
        char line[512];
        const size_t length = std::fread(line, 1, sizeof line - 1, file);
        std::fclose(file);
        line[length] = '\0';
        // "tid (name) S ...": the state follows the last ')' (a name may hold one).
        if (const char* close = std::strrchr(line, ')');
            close && close[1] == ' ' && close[2] == 'R')
            ++runnable;
    }
    closedir(tasks);
    return std::max(1, runnable);
}

}  // namespace

int idleProcessors() {
    const int available = availableProcessors();
    // "0.52 0.58 0.59 3/181 12345": the fourth field is runnable / existing threads.
    std::FILE* file = std::fopen("/proc/loadavg", "r");
    if (!file) return available;
    double load[3];
    int runnable = 0, existing = 0;
    const bool read = std::fscanf(file, "%lf %lf %lf %d/%d", &load[0], &load[1], &load[2],
                                  &runnable, &existing) == 5;
    std::fclose(file);
    if (!read || runnable < 1) return available;
    const int others = std::max(0, runnable - ownRunnableThreads());
    return std::clamp(available - others, 1, available);
}

ThreadTeam::ThreadTeam() : previous_(omp_get_max_threads()) {
    threads_ = std::clamp(std::min(previous_, idleProcessors()), 1, std::max(1, previous_));
    if (threads_ != previous_) omp_set_num_threads(threads_);
}

ThreadTeam::~ThreadTeam() {
    if (threads_ != previous_) omp_set_num_threads(previous_);
}

void releaseIdleThreads() {
    if (!omp_in_parallel()) omp_pause_resource_all(omp_pause_soft);
}

}  // namespace skv
