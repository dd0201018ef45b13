// What the bench reads of a gateway process from /proc: its CPU time and
// wake-ups, its memory, its descriptors; and the machine's load.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon::bench {

struct CpuSample {
    std::int64_t ticks = 0;     // utime + stime from /proc/PID/stat
    std::int64_t sched_ns = 0;  // sum of the threads' run time from schedstat
    std::int64_t slices = 0;    // sum of the threads' times on a CPU from schedstat
    std::int64_t switches = 0;  // sum of the threads' voluntary + involuntary switches
    std::int64_t t_ns = 0;
};

CpuSample cpu_sample(pid_t pid);

struct CpuShare {
    double stat_pct = 0;
    double sched_pct = 0;
    double switches_per_s = 0;
    double slices_per_s = 0;
};

CpuShare cpu_share(const CpuSample& a, const CpuSample& b);

std::string load_average();

// A kB field of /proc/PID/status (VmRSS:, VmHWM:, ...); -1 when it is not there.
std::int64_t status_kb(pid_t pid, std::string_view key);

// The process's open descriptors; -1 when they cannot be listed.
int fd_count(pid_t pid);

}  // namespace quillon::bench
