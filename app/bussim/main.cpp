// quillon-bussim: a Velbus interface module with a few modules behind it, on a
// pseudo-terminal, for running the gateway without hardware.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/bussim/controls.hpp"
#include "app/bussim/receive_log.hpp"
#include "app/bussim/simulator.hpp"

namespace {

using namespace quillon::bussim;

constexpr double max_frames_per_s = 50.0;  // more than the frame gap lets out
constexpr int longest_wait_ms = 250;       // bounds the delay in noticing a signal

volatile sig_atomic_t stop_requested = 0;
extern "C" void on_stop_signal(int) {
    stop_requested = 1;
}

struct Options {
    Settings settings;
    std::string log_path;
    std::string link_path;
};

void usage(std::FILE* to) {
    std::fputs(
        "Usage: quillon-bussim [--rate N] [--seed N] [--log FILE] [--link PATH]\n"
        "Simulates a Velbus bus on a pseudo-terminal and prints its path on the first line.\n"
        "  --rate N     spontaneous frames per second (default 1, 0 = none, at most 50)\n"
        "  --seed N     seed of the spontaneous traffic (default 1)\n"
        "  --log FILE   append the log of received frames to FILE instead of standard output\n"
        "  --link PATH  also make PATH a symbolic link to the pseudo-terminal\n"
        "  --help       show this text\n"
        "Lines on standard input make the interface module send its report at once:\n"
        "  buffer-full, buffer-ready  its receive buffer is full, or has room again\n"
        "  bus-off, bus-active        the bus is off, or active again\n"
        "Frames the gateway writes meanwhile are received and logged as usual.\n",
        to);
}

// 0: go on; -1: done (help shown); otherwise the exit status.
int parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            usage(stdout);
            return -1;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "quillon-bussim: unknown option or missing value: %s\n",
                         arg.c_str());
            usage(stderr);
            return 2;
        }
        const char* value = argv[++i];
        char* end = nullptr;
        bool ok = true;
        if (arg == "--rate") {
            const double r = std::strtod(value, &end);
            ok = *end == '\0' && std::isfinite(r) && r >= 0 && r <= max_frames_per_s;
            o.settings.frames_per_s = r;
        } else if (arg == "--seed") {
            o.settings.seed = static_cast<std::uint32_t>(std::strtoul(value, &end, 0));
            ok = *end == '\0';
        } else if (arg == "--log") {
            o.log_path = value;
        } else if (arg == "--link") {
            o.link_path = value;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "quillon-bussim: bad option: %s %s\n", arg.c_str(), value);
            usage(stderr);
            return 2;
        }
    }
    return 0;
}

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Pty {
    int master = -1;
    int slave = -1;  // held open so the master never sees a hang-up between gateway runs
    std::string path;
};

bool open_pty(Pty& p) {
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) return false;
    const char* name = ptsname(p.master);
    if (name == nullptr) return false;
    p.path = name;
    p.slave = open(name, O_RDWR | O_NOCTTY);
    if (p.slave < 0) return false;
    termios t{};
    if (tcgetattr(p.slave, &t) != 0) return false;
    cfmakeraw(&t);
    return tcsetattr(p.slave, TCSANOW, &t) == 0;
}

// Atomically replaces whatever is at `path`.
bool make_link(const std::string& target, const std::string& path) {
    const std::string temp = path + ".tmp" + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0) return false;
    if (rename(temp.c_str(), path.c_str()) == 0) return true;
    unlink(temp.c_str());
    return false;
}

// Removes the link only while it still points at this run's terminal.
void remove_link(const std::string& target, const std::string& path) {
    char buf[256];
    const auto n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target) unlink(path.c_str());
}

void write_frame(const Pty& p, const Frame& f) {
    const auto n = write(p.master, f.data(), f.size());
    if (n == static_cast<ssize_t>(f.size())) return;
    // A full terminal buffer means nobody reads: drop the stale bytes so that the next
    // reader starts with fresh traffic, rather than blocking the bus.
    tcflush(p.slave, TCIFLUSH);
}

// One line of the control input: a report frame, whole, on the terminal.
void run_control(const Pty& p, const std::string& line) {
    if (const auto report = control_report(line)) {
        write_frame(p, interface_frame(*report));
    } else if (line.find_first_not_of(" \t\r") != std::string::npos) {
        std::fprintf(stderr, "quillon-bussim: unknown command: %s (try %s)\n", line.c_str(),
                     control_words);
    }
}

// Carries out the complete lines that have come on standard input; false once the
// input has ended (or cannot be read, as from a terminal while in the background).
bool read_controls(const Pty& p, std::string& pending) {
    char buf[512];
    const auto n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) {
        if (!pending.empty()) run_control(p, pending);
        pending.clear();
        return false;
    }
    pending.append(buf, static_cast<std::size_t>(n));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        run_control(p, pending.substr(0, end));
        pending.erase(0, end + 1);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = parse(argc, argv, options)) return status < 0 ? 0 : status;

    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);  // no SA_RESTART: poll() returns at once
    sigaction(SIGTERM, &action, nullptr);
    // Run in the background of a shell, reading the terminal fails instead of stopping us.
    signal(SIGTTIN, SIG_IGN);

    // Asked before the terminal is opened, which could otherwise take a closed descriptor 0.
    bool controls_open = fcntl(STDIN_FILENO, F_GETFD) != -1;
    std::string pending_controls;
    Pty pty;
    if (!open_pty(pty)) {
        std::fprintf(stderr, "quillon-bussim: cannot open a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return 1;
    }
    std::FILE* log = stdout;
    if (!options.log_path.empty() && (log = std::fopen(options.log_path.c_str(), "a")) == nullptr) {
        std::fprintf(stderr, "quillon-bussim: cannot open %s: %s\n", options.log_path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (!options.link_path.empty() && !make_link(pty.path, options.link_path)) {
        std::fprintf(stderr, "quillon-bussim: cannot link %s: %s\n", options.link_path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", pty.path.c_str());
    std::fflush(stdout);

    Simulator sim(options.settings, now_ms());
    sim.report(now_ms(), command::bus_active);
    while (!stop_requested) {
        for (const auto& frame : sim.poll(now_ms()))
            write_frame(pty, frame);
        const auto wait =
            std::clamp<std::int64_t>(sim.next_event_ms() - now_ms(), 0, longest_wait_ms);
        pollfd fds[] = {{pty.master, POLLIN, 0}, {controls_open ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(wait)) <= 0) continue;
        if (fds[1].revents != 0) controls_open = read_controls(pty, pending_controls);
        if ((fds[0].revents & POLLIN) == 0) continue;
        std::uint8_t buf[4096];
        const auto n = read(pty.master, buf, sizeof buf);
        if (n <= 0) continue;
        const auto arrival = std::chrono::system_clock::now();
        for (const auto& cut :
             sim.on_bytes(now_ms(), std::span(buf, static_cast<std::size_t>(n)))) {
            std::fprintf(log, "%s\n", log_line(arrival, cut).c_str());
        }
        std::fflush(log);
    }

    if (!options.link_path.empty()) remove_link(pty.path, options.link_path);
    if (log != stdout) std::fclose(log);
    close(pty.slave);
    close(pty.master);
    return 0;
}
