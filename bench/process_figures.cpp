#include "bench/process_figures.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bench/clock.hpp"

namespace quillon::bench {

namespace fs = std::filesystem;

namespace {

std::int64_t status_value(const fs::path& status_file, std::string_view key) {
    std::ifstream status(status_file);
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::strtoll(line.c_str() + key.size(), nullptr, 10);
    }
    return -1;
}

}  // namespace

CpuSample cpu_sample(pid_t pid) {
    CpuSample s;
    s.t_ns = now_ns();
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(line.substr(close + 2));
        std::string field;
        // After the name: state (3) ... utime (14), stime (15).
        for (int k = 3; k <= 15 && fields >> field; ++k) {
            if (k == 14 || k == 15) s.ticks += std::strtoll(field.c_str(), nullptr, 10);
        }
    }
    // /proc/PID/status counts the main thread's switches only: every thread's are added.
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream sched(task.path() / "schedstat");
        std::int64_t run_ns = 0, wait_ns = 0, slices = 0;
        if (sched >> run_ns >> wait_ns >> slices) {
            s.sched_ns += run_ns;
            s.slices += slices;
        }
        s.switches += std::max<std::int64_t>(
                          0, status_value(task.path() / "status", "voluntary_ctxt_switches:")) +
                      std::max<std::int64_t>(
                          0, status_value(task.path() / "status", "nonvoluntary_ctxt_switches:"));
    }
    return s;
}

CpuShare cpu_share(const CpuSample& a, const CpuSample& b) {
    const double wall = static_cast<double>(b.t_ns - a.t_ns) / 1e9;
    CpuShare c;
    if (wall <= 0) return c;
    c.stat_pct = static_cast<double>(b.ticks - a.ticks) /
                 static_cast<double>(sysconf(_SC_CLK_TCK)) / wall * 100.0;
    c.sched_pct = static_cast<double>(b.sched_ns - a.sched_ns) / 1e9 / wall * 100.0;
    c.switches_per_s = static_cast<double>(b.switches - a.switches) / wall;
    c.slices_per_s = static_cast<double>(b.slices - a.slices) / wall;
    return c;
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return one + " / " + five + " (1 / 5 min)";
}

std::int64_t status_kb(pid_t pid, std::string_view key) {
    return status_value("/proc/" + std::to_string(pid) + "/status", key);
}

int fd_count(pid_t pid) {
    std::error_code ec;
    int n = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
         !ec && it != end; it.increment(ec))
        ++n;
    return ec ? -1 : n;
}

}  // namespace quillon::bench
