// quillon_bench: starts the real gateway on a pseudo-terminal owned by this
// program, connects loopback TCP clients to it and measures what reaches the
// clients and the bus side, the gateway's CPU time and wake-ups, its memory,
// its start, how fast it serves many new clients, its file descriptors across
// connect/close churn, what TLS clients and browsers watching the web monitor
// cost, what MQTT to a mosquitto on loopback costs and, with --soak, a long
// steady load.
//
// ser2net, when installed, goes through the same measurements on its own
// pseudo-terminal and port, alone, before Quillon in each run: the table shows
// both figures and their ratio. Quillon's pacing, echo and churn have no
// ser2net counterpart and are shown alone.
//
//   quillon_bench [--quick] [--runs N] [--soak] [--soak-minutes N] [--quillon PATH]
//                 [--ser2net PATH | --no-ser2net] [--mqtt-only]
//
// With QUILLON_BENCH_TRACE set, per-frame latencies and pacing gaps go to stderr.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "bench/bench.hpp"
#include "bench/clock.hpp"
#include "bench/process_figures.hpp"
#include "bench/report.hpp"
#include "bench/run.hpp"

namespace {

std::string find_ser2net() {
    for (const char* dir : {"/usr/sbin", "/usr/local/sbin", "/sbin"}) {
        const std::string path = std::string(dir) + "/ser2net";
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/ser2net";
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

// A thousand clients take a thousand descriptors in the bench and in the
// gateway, which inherits the limit.
void raise_descriptor_limit() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return;
    const rlim_t wanted = r.rlim_max == RLIM_INFINITY ? 4096 : std::min<rlim_t>(r.rlim_max, 4096);
    if (r.rlim_cur != RLIM_INFINITY && r.rlim_cur < wanted) {
        r.rlim_cur = wanted;
        ::setrlimit(RLIMIT_NOFILE, &r);
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quillon::bench;
    Options o;
    bool no_ser2net = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--quick") {
            o.quick = true;
        } else if (arg == "--runs" && i + 1 < argc && std::atoi(argv[i + 1]) >= 1) {
            o.runs = std::atoi(argv[++i]);
        } else if (arg == "--soak") {
            if (o.soak_minutes == 0) o.soak_minutes = 10;
        } else if (arg == "--soak-minutes" && i + 1 < argc && std::atoi(argv[i + 1]) >= 2) {
            o.soak_minutes = std::atoi(argv[++i]);
        } else if (arg == "--quillon" && i + 1 < argc) {
            o.quillon = argv[++i];
        } else if (arg == "--ser2net" && i + 1 < argc) {
            o.ser2net = argv[++i];
        } else if (arg == "--no-ser2net") {
            no_ser2net = true;
        } else if (arg == "--mqtt-only") {
            o.mqtt_only = true;
        } else {
            std::fprintf(
                stderr,
                "Usage: quillon_bench [--quick] [--runs N] [--soak] [--soak-minutes N]\n"
                "                     [--quillon PATH] [--ser2net PATH | --no-ser2net] "
                "[--mqtt-only]\n"
                "  --runs N prints the medians of N runs of each gateway, each on fresh "
                "processes.\n"
                "  ser2net, when found, is measured alone before Quillon in each run.\n"
                "  --soak adds a 10-minute run (N minutes, at least 2) of 100 clients at 100 "
                "frames/s that samples Quillon's memory every minute.\n"
                "  --mqtt-only takes only the MQTT figures (a private mosquitto on "
                "loopback).\n");
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }
    if (::access(o.mosquitto.c_str(), X_OK) != 0) o.mosquitto.clear();
    if (no_ser2net || o.mqtt_only) {
        o.ser2net.clear();
    } else if (o.ser2net.empty()) {
        o.ser2net = find_ser2net();
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGHUP, on_signal);
    raise_descriptor_limit();

    std::printf("quillon_bench%s, %d run%s; load average %s\n", o.quick ? " --quick" : "", o.runs,
                o.runs == 1 ? "" : "s", load_average().c_str());
    if (o.ser2net.empty() && !o.mqtt_only)
        std::printf(
            "ser2net not found (scripts/setup.sh bench installs it): Quillon's figures "
            "alone\n");
    if (o.mosquitto.empty())
        std::printf("/usr/sbin/mosquitto not found (Debian's mosquitto): no MQTT figures\n");
    std::fflush(stdout);

    const std::int64_t t_start = now_ns();
    for (int run = 1; run <= o.runs; ++run) {
        if (!o.ser2net.empty()) run_side(Side::ser2net, o, run, run == o.runs);
        run_side(Side::quillon, o, run, run == o.runs);
    }

    if (!o.mqtt_only) print_comparison(o);
    print_quillon_alone();
    std::printf(
        "(%.0f s; load average at the end %s. bus->client: from the write on the pty to the "
        "kernel's receive stamp of the frame's last bytes at the client; bus side: when the "
        "bench's poll saw the bytes on the pty. CPU: the threads' run time from schedstat; "
        "wake-ups: voluntary + involuntary context switches of all threads, from "
        "/proc/PID/task/*/status. Start: every start of every run, from fork to the first "
        "connect that succeeds, tried every 0.2 ms. MB: 10^6 bytes)\n",
        static_cast<double>(now_ns() - t_start) / 1e9, load_average().c_str());
    return 0;
}
