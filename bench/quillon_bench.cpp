// quillon_bench: starts the real gateway on a pseudo-terminal owned by this
// program, connects loopback TCP clients to it and measures what reaches the
// clients and the bus side, the gateway's CPU time, its memory and its file
// descriptors across connect/close churn and, with --soak, a long steady load.
//
//   quillon_bench [--quick] [--soak] [--soak-minutes N] [--quillon PATH]
//
// With QUILLON_BENCH_TRACE set, per-frame latencies and pacing gaps go to stderr.
//
// Every frame the bench sends carries its own identity in its data bytes
// (command byte = phase, then a 16-bit sequence number), so that each client
// and the bus side can check order and integrity of what they receive.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bus/frame_cutter.hpp"

#ifndef QUILLON_PROGRAM_PATH
#define QUILLON_PROGRAM_PATH "quillon"
#endif

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t ns_per_ms = 1'000'000;
constexpr std::int64_t ns_per_s = 1'000'000'000;

std::int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * ns_per_s + ts.tv_nsec;
}

double to_ms(std::int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

// ---------------------------------------------------------------- frames

// The command byte of the bench's frames tells which measurement sent them.
enum Phase : std::uint8_t {
    phase_sync = 0xA0,
    phase_latency = 0xA1,
    phase_burst = 0xA2,
    phase_pacing = 0xA3,
    phase_load = 0xA4,
    phase_uplink = 0xA5,
    phase_soak = 0xA6,
    phase_last = phase_soak,
};

// 0F prio addr len phase seq_hi seq_lo [padding] checksum 04, 3 to 8 data bytes.
std::vector<std::uint8_t> make_frame(std::uint8_t phase, std::uint32_t seq) {
    const std::size_t n = 3 + seq % 6;
    std::vector<std::uint8_t> f;
    f.reserve(n + 6);
    f.push_back(0x0F);
    f.push_back(seq % 2 != 0 ? 0xF8 : 0xFB);
    f.push_back(static_cast<std::uint8_t>(0x01 + seq % 0xFE));
    f.push_back(static_cast<std::uint8_t>(n));
    f.push_back(phase);
    f.push_back(static_cast<std::uint8_t>(seq >> 8));
    f.push_back(static_cast<std::uint8_t>(seq & 0xFF));
    for (std::size_t i = 3; i < n; ++i)
        f.push_back(static_cast<std::uint8_t>(0x30 + i));
    std::uint8_t sum = 0;
    for (std::uint8_t b : f)
        sum = static_cast<std::uint8_t>(sum + b);
    f.push_back(static_cast<std::uint8_t>(-sum));
    f.push_back(0x04);
    return f;
}

// t_ns: when the kernel queued the frame's last bytes at the client (the
// socket's receive timestamp), or when poll reported them where there is no
// such stamp (the pty); woke_ns: when poll reported them to the bench.
struct Arrival {
    std::uint8_t phase = 0;
    std::uint32_t seq = 0;
    std::int64_t t_ns = 0;
    std::int64_t woke_ns = 0;
};

// Cuts a byte stream into frames, with the gateway's own cutter, and notes
// when each one was complete.
struct FrameStream {
    quillon::FrameCutter cutter{quillon::RejectedRun::start_byte, {},
                                quillon::BadChecksum::searched_again};
    std::vector<Arrival> arrivals;
    std::int64_t bad_bytes = 0;  // bytes skipped while looking for a good frame
    std::int64_t foreign = 0;    // good frames the bench did not send

    void feed(const std::uint8_t* bytes, std::size_t count, std::int64_t t_ns,
              std::int64_t woke_ns) {
        const std::uint64_t skipped_before = cutter.skipped();
        cutter.feed(std::span(bytes, count), 0, [&](const quillon::Cut& cut) {
            const auto& f = cut.bytes;
            if (cut.status != quillon::FrameStatus::valid) {
                ++bad_bytes;  // its start byte; the search goes on one byte further
            } else if (f.size() >= 9 && f[4] >= phase_sync && f[4] <= phase_last) {
                arrivals.push_back({f[4], static_cast<std::uint32_t>(f[5]) << 8 | f[6], t_ns,
                                    woke_ns});
            } else {
                ++foreign;
            }
        });
        bad_bytes += static_cast<std::int64_t>(cutter.skipped() - skipped_before);
    }

    std::size_t count(std::uint8_t phase) const {
        return static_cast<std::size_t>(
            std::count_if(arrivals.begin(), arrivals.end(),
                          [phase](const Arrival& a) { return a.phase == phase; }));
    }

    bool has(std::uint8_t phase, std::uint32_t seq) const {
        for (auto it = arrivals.rbegin(); it != arrivals.rend(); ++it) {
            if (it->phase == phase && it->seq == seq) return true;
        }
        return false;
    }
};

// Order and completeness of one phase's frames 0..expected-1 in one stream.
struct Integrity {
    std::int64_t missing = 0;
    std::int64_t out_of_order = 0;
    std::int64_t bad_bytes = 0;
    std::int64_t foreign = 0;

    void add(const FrameStream& s, std::uint8_t phase, std::uint32_t expected) {
        std::uint32_t next = 0;
        std::uint32_t got = 0;
        for (const Arrival& a : s.arrivals) {
            if (a.phase != phase) continue;
            ++got;
            if (a.seq != next) ++out_of_order;
            next = a.seq + 1;
        }
        if (got < expected) missing += expected - got;
        bad_bytes += s.bad_bytes;
        foreign += s.foreign;
    }

    bool clean() const { return missing == 0 && out_of_order == 0 && bad_bytes == 0; }

    std::string text() const {
        if (clean()) return "order ok, none missing, 0 bad bytes";
        return std::to_string(missing) + " missing, " + std::to_string(out_of_order) +
               " out of order, " + std::to_string(bad_bytes) + " bad bytes";
    }
};

// ---------------------------------------------------------------- figures

struct Summary {
    double min = 0, p50 = 0, p99 = 0, max = 0;
    std::size_t n = 0;
};

Summary summarise(std::vector<double> v) {
    Summary s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    const auto at = [&v](double q) {
        const auto k = static_cast<std::size_t>(std::ceil(q * static_cast<double>(v.size())));
        return v[std::min(v.size() - 1, k == 0 ? 0 : k - 1)];
    };
    s.min = v.front();
    s.p50 = at(0.50);
    s.p99 = at(0.99);
    s.max = v.back();
    return s;
}

std::string fixed(double v, int decimals = 2) {
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

struct Row {
    std::string what;
    std::string result;
    std::string target;  // empty: no target
    bool met = true;
};

std::vector<Row> table;

void add_row(std::string what, std::string result, std::string target = {}, bool met = true) {
    std::printf("  .. %s: %s\n", what.c_str(), result.c_str());
    std::fflush(stdout);
    table.push_back({std::move(what), std::move(result), std::move(target), met});
}

// ---------------------------------------------------------------- process figures

struct CpuSample {
    std::int64_t ticks = 0;     // utime + stime from /proc/PID/stat
    std::int64_t sched_ns = 0;  // sum of the threads' run time from schedstat
    std::int64_t t_ns = 0;
};

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
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream sched(task.path() / "schedstat");
        std::int64_t run_ns = 0;
        if (sched >> run_ns) s.sched_ns += run_ns;
    }
    return s;
}

struct CpuShare {
    double stat_pct = 0;
    double sched_pct = 0;
};

CpuShare cpu_share(const CpuSample& a, const CpuSample& b) {
    const double wall = static_cast<double>(b.t_ns - a.t_ns) / 1e9;
    CpuShare c;
    if (wall <= 0) return c;
    c.stat_pct = static_cast<double>(b.ticks - a.ticks) /
                 static_cast<double>(sysconf(_SC_CLK_TCK)) / wall * 100.0;
    c.sched_pct = static_cast<double>(b.sched_ns - a.sched_ns) / 1e9 / wall * 100.0;
    return c;
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return one + " / " + five + " (1 / 5 min)";
}

std::int64_t status_kb(pid_t pid, std::string_view key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::strtoll(line.c_str() + key.size(), nullptr, 10);
    }
    return -1;
}

int fd_count(pid_t pid) {
    std::error_code ec;
    int n = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
         !ec && it != end; it.increment(ec))
        ++n;
    return ec ? -1 : n;
}

std::string mib(std::int64_t kb) {
    return fixed(static_cast<double>(kb) / 1024.0, 1);
}

std::string signed_kib(std::int64_t kb) {
    return (kb >= 0 ? "+" : "") + std::to_string(kb) + " KiB";
}

// ---------------------------------------------------------------- sockets and the pty

bool write_all(int fd, const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(fd, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        return false;
    }
    return true;
}

void set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

bool can_bind(int type, std::uint16_t port) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const sockaddr_in a = loopback(port);
    const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// A TCP port free on 127.0.0.1 whose successor is free for UDP (the analyzer port).
std::uint16_t free_port() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return 0;
        sockaddr_in a = loopback(0);
        socklen_t len = sizeof a;
        std::uint16_t port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            port = ntohs(a.sin_port);
        }
        ::close(fd);
        if (port != 0 && port < 65535 && can_bind(SOCK_DGRAM, static_cast<std::uint16_t>(port + 1)))
            return port;
    }
    return 0;
}

// ---------------------------------------------------------------- the gateway under test

volatile sig_atomic_t child_pid = -1;

void on_signal(int) {
    const pid_t pid = child_pid;
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ::_exit(130);
}

struct Peer {
    int fd = -1;
    bool open = true;
    FrameStream in;
};

class Bench {
  public:
    Bench() = default;
    ~Bench() { stop(); }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    bool start(const std::string& program);
    void stop();
    bool alive();

    bool connect_peers(std::size_t total);
    bool sync_peers();
    void latency(std::size_t frames);
    void burst(std::size_t frames);
    void pacing(bool slow, std::size_t frames);
    void uplink(std::size_t frames);
    void idle_cpu(double seconds);
    void load_cpu(double seconds, int rate);
    void peak_memory();
    void churn(std::size_t cycles);
    void soak(int minutes, int rate);

    pid_t pid() const { return pid_; }
    std::uint16_t port() const { return port_; }
    const std::string& pty_name() const { return pty_name_; }

  private:
    bool open_pty();
    bool launch(const std::string& program);
    bool pump(std::int64_t deadline_ns, const std::function<bool()>& done = {});
    void read_master(std::int64_t t_ns);
    void read_peer(Peer& p, std::int64_t t_ns);
    void write_bus(const std::vector<std::uint8_t>& bytes);
    void command(const std::string& line);
    void clear_arrivals();
    int open_peer_connection();
    std::vector<std::int64_t> feed_bus(std::uint8_t phase, std::uint32_t frames, int rate);
    void await_last(std::uint8_t phase, std::uint32_t frames);
    bool connect_and_close();
    int settled_fd_count(int expected);

    pid_t pid_ = -1;
    int master_ = -1;
    int slave_ = -1;
    int command_fd_ = -1;
    std::uint16_t port_ = 0;
    std::string pty_name_;
    fs::path dir_;
    FrameStream bus_side_;  // what the gateway wrote towards the bus
    std::vector<Peer> peers_;
    std::vector<pollfd> fds_;
    std::uint32_t sync_seq_ = 0;
    std::int64_t peers_lost_ = 0;
    std::int64_t realtime_offset_ns_ = 0;  // CLOCK_REALTIME - CLOCK_MONOTONIC

  public:
    std::int64_t stamped_reads_ = 0;  // client reads that carried a kernel receive stamp

  private:
    bool trace_ = std::getenv("QUILLON_BENCH_TRACE") != nullptr;  // per-frame figures on stderr

  public:
    // How late the bench itself woke from its timed waits: the noise floor of
    // every figure it takes without a kernel stamp.
    std::vector<double> wake_lateness_ms;
};

bool Bench::open_pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return false;
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) return false;
    pty_name_ = name;
    // The bench keeps the terminal side open too, so that the pty never hangs
    // up between the gateway's opening and closing it.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return false;
    termios t{};
    if (::tcgetattr(slave_, &t) == 0) {
        ::cfmakeraw(&t);
        ::cfsetispeed(&t, B38400);
        ::cfsetospeed(&t, B38400);
        ::tcsetattr(slave_, TCSANOW, &t);
    }
    set_nonblocking(master_);
    return true;
}

bool Bench::launch(const std::string& program) {
    port_ = free_port();
    if (port_ == 0) return false;
    {
        std::ofstream ini(dir_ / "Quillon.ini", std::ios::binary | std::ios::trunc);
        ini << "IPPort = " << port_ << "\r\nSerialPort = " << pty_name_ << ",38400,0,8,1,0\r\n";
    }
    int cmd[2];
    if (::pipe2(cmd, O_CLOEXEC) != 0) return false;
    const std::string err_path = (dir_ / "gateway.err").string();
    const std::string dir = dir_.string();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(cmd[0]);
        ::close(cmd[1]);
        return false;
    }
    if (pid == 0) {
        const int out = ::open("/dev/null", O_WRONLY);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || ::chdir(dir.c_str()) != 0) ::_exit(127);
        ::dup2(cmd[0], STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execl(program.c_str(), program.c_str(), "--headless", "--listen", "127.0.0.1",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(cmd[0]);
    command_fd_ = cmd[1];
    pid_ = pid;
    child_pid = pid;

    // Started once its TCP port answers; that first connection is client 0.
    const std::int64_t deadline = now_ns() + 10 * ns_per_s;
    while (now_ns() < deadline) {
        if (!alive()) return false;
        const int fd = open_peer_connection();
        if (fd >= 0) {
            peers_.push_back(Peer{fd, true, {}});
            return true;
        }
        ::usleep(20'000);
    }
    return false;
}

bool Bench::start(const std::string& program) {
    if (::access(program.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "quillon_bench: cannot run %s\n", program.c_str());
        return false;
    }
    char tmpl[] = "/tmp/quillon-bench.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return false;
    dir_ = tmpl;
    if (!open_pty()) {
        std::fprintf(stderr, "quillon_bench: no pseudo-terminal: %s\n", std::strerror(errno));
        return false;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (launch(program)) return true;
        std::ifstream err(dir_ / "gateway.err");
        std::fprintf(stderr, "quillon_bench: the gateway did not start (port %u):\n%s\n",
                     static_cast<unsigned>(port_),
                     std::string(std::istreambuf_iterator<char>(err), {}).c_str());
        stop();
    }
    return false;
}

bool Bench::alive() {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == 0) return true;
    if (r == pid_) {
        std::fprintf(stderr, "quillon_bench: the gateway ended (%s %d)\n",
                     WIFSIGNALED(status) ? "signal" : "status",
                     WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
        pid_ = -1;
        child_pid = -1;
    }
    return false;
}

void Bench::stop() {
    for (Peer& p : peers_) {
        if (p.fd >= 0) ::close(p.fd);
    }
    peers_.clear();
    if (command_fd_ >= 0) ::close(command_fd_);
    command_fd_ = -1;
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        pid_t r = 0;
        for (int i = 0; i < 300 && (r = ::waitpid(pid_, &status, WNOHANG)) == 0; ++i)
            ::usleep(10'000);
        if (r == 0) {
            std::fprintf(stderr, "quillon_bench: the gateway ignored SIGTERM; killing it\n");
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        child_pid = -1;
    }
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
    dir_.clear();
}

int Bench::open_peer_connection() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in a = loopback(port_);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    set_nonblocking(fd);
    return fd;
}

bool Bench::connect_peers(std::size_t total) {
    while (peers_.size() < total) {
        const int fd = open_peer_connection();
        if (fd < 0) {
            std::fprintf(stderr, "quillon_bench: connect: %s\n", std::strerror(errno));
            return false;
        }
        peers_.push_back(Peer{fd, true, {}});
    }
    return sync_peers();
}

void Bench::read_master(std::int64_t t_ns) {
    std::uint8_t b[4096];
    for (;;) {
        const ssize_t n = ::read(master_, b, sizeof b);
        if (n > 0) {
            bus_side_.feed(b, static_cast<std::size_t>(n), t_ns, t_ns);
            continue;
        }
        break;
    }
}

void Bench::read_peer(Peer& p, std::int64_t t_ns) {
    std::uint8_t b[4096];
    alignas(cmsghdr) char control[256];
    for (;;) {
        iovec iov{b, sizeof b};
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(p.fd, &m, 0);
        if (n > 0) {
            // The stamp is that of the last segment read, on the real-time clock.
            std::int64_t stamped = t_ns;
            for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts{};
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    const std::int64_t real = std::int64_t{ts.tv_sec} * ns_per_s + ts.tv_nsec;
                    stamped = std::min(t_ns, real - realtime_offset_ns_);
                    ++stamped_reads_;
                }
            }
            p.in.feed(b, static_cast<std::size_t>(n), stamped, t_ns);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            p.open = false;
            ++peers_lost_;
        }
        break;
    }
}

// Reads everything that comes until `done` holds or the deadline passes. Data
// is stamped with the moment poll reported it: a bound from above on its arrival.
bool Bench::pump(std::int64_t deadline_ns, const std::function<bool()>& done) {
    for (;;) {
        if (done && done()) return true;
        const std::int64_t left = deadline_ns - now_ns();
        if (left <= 0) return false;
        fds_.clear();
        fds_.push_back({master_, POLLIN, 0});
        for (const Peer& p : peers_)
            fds_.push_back({p.open ? p.fd : -1, POLLIN, 0});
        const timespec ts{static_cast<time_t>(left / ns_per_s), static_cast<long>(left % ns_per_s)};
        const int r = ::ppoll(fds_.data(), fds_.size(), &ts, nullptr);
        const std::int64_t t = now_ns();
        if (r == 0) wake_lateness_ms.push_back(to_ms(t - deadline_ns));
        if (r <= 0) continue;
        timespec real{};
        clock_gettime(CLOCK_REALTIME, &real);
        realtime_offset_ns_ =
            std::int64_t{real.tv_sec} * ns_per_s + real.tv_nsec - now_ns() / 2 - t / 2;
        if (fds_[0].revents != 0) read_master(t);
        for (std::size_t i = 0; i < peers_.size(); ++i) {
            if (fds_[i + 1].revents != 0) read_peer(peers_[i], t);
        }
    }
}

void Bench::write_bus(const std::vector<std::uint8_t>& bytes) {
    if (!write_all(master_, bytes.data(), bytes.size()))
        std::fprintf(stderr, "quillon_bench: pty write: %s\n", std::strerror(errno));
}

void Bench::command(const std::string& line) {
    const std::string text = line + "\n";
    write_all(command_fd_, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void Bench::clear_arrivals() {
    for (Peer& p : peers_)
        p.in = FrameStream{};
    bus_side_ = FrameStream{};
}

// Sends bus frames until every client has received one: the gateway then
// knows all of them. What is still on its way is drained and forgotten.
bool Bench::sync_peers() {
    clear_arrivals();
    const auto all_have_one = [this] {
        return std::all_of(peers_.begin(), peers_.end(),
                           [](const Peer& p) { return !p.open || !p.in.arrivals.empty(); });
    };
    const std::int64_t deadline = now_ns() + 15 * ns_per_s;
    bool ok = false;
    while (!ok && now_ns() < deadline) {
        write_bus(make_frame(phase_sync, sync_seq_++));
        ok = pump(now_ns() + 10 * ns_per_ms, all_have_one);
    }
    pump(now_ns() + 100 * ns_per_ms);
    clear_arrivals();
    if (!ok) std::fprintf(stderr, "quillon_bench: not every client was served\n");
    return ok && alive();
}

void Bench::latency(std::size_t frames) {
    clear_arrivals();
    std::mt19937 random(12345);
    std::vector<double> each;   // one sample per client and frame
    std::vector<double> woke;   // the same, at the bench's wake-up
    std::vector<double> first;  // per frame: until the first client had it
    std::vector<double> last;   // per frame: until the last client had it
    std::int64_t timeouts = 0;
    for (std::uint32_t s = 0; s < frames; ++s) {
        const auto frame = make_frame(phase_latency, s);
        const std::int64_t t0 = now_ns();
        write_bus(frame);
        const bool all = pump(t0 + 500 * ns_per_ms, [this, s] {
            return std::all_of(peers_.begin(), peers_.end(), [s](const Peer& p) {
                return !p.open || (!p.in.arrivals.empty() && p.in.arrivals.back().seq >= s &&
                                   p.in.arrivals.back().phase == phase_latency);
            });
        });
        if (!all) ++timeouts;
        std::int64_t worst = 0;
        std::int64_t best = INT64_MAX;
        for (const Peer& p : peers_) {
            for (auto it = p.in.arrivals.rbegin(); it != p.in.arrivals.rend(); ++it) {
                if (it->phase == phase_latency && it->seq == s) {
                    each.push_back(to_ms(it->t_ns - t0));
                    woke.push_back(to_ms(it->woke_ns - t0));
                    worst = std::max(worst, it->t_ns - t0);
                    best = std::min(best, it->t_ns - t0);
                    break;
                }
            }
        }
        if (all) {
            first.push_back(to_ms(best));
            last.push_back(to_ms(worst));
            if (trace_)
                std::fprintf(stderr, "latency %u sent %.3f first %.3f last %.3f\n", s, to_ms(t0),
                             to_ms(best), to_ms(worst));
        }
        const std::int64_t gap = (20 + static_cast<std::int64_t>(random() % 11)) * ns_per_ms;
        pump(t0 + gap);
    }
    Integrity integrity;
    for (const Peer& p : peers_)
        integrity.add(p.in, phase_latency, static_cast<std::uint32_t>(frames));
    const Summary e = summarise(each);
    const Summary w = summarise(woke);
    const Summary f = summarise(first);
    const Summary l = summarise(last);
    const std::size_t k = peers_.size();
    std::string result = "p50 " + fixed(e.p50) + "  p99 " + fixed(e.p99) + "  max " + fixed(e.max) +
                         " ms; first/last client p50 " + fixed(f.p50) + "/" + fixed(l.p50) +
                         " p99 " + fixed(f.p99) + "/" + fixed(l.p99) +
                         " ms; at bench wake-up p99 " + fixed(w.p99) + " ms; " + integrity.text();
    if (timeouts != 0) result += "; " + std::to_string(timeouts) + " frames not everywhere";
    const bool targeted = k >= 100;
    add_row("bus->client, " + std::to_string(k) + " client" + (k == 1 ? "" : "s") + " (" +
                std::to_string(frames) + " frames)",
            result, targeted ? "p99 < 2 ms" : "", !targeted || (e.p99 < 2.0 && integrity.clean()));
}

void Bench::burst(std::size_t frames) {
    clear_arrivals();
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t s = 0; s < frames; ++s) {
        const auto f = make_frame(phase_burst, s);
        bytes.insert(bytes.end(), f.begin(), f.end());
    }
    const std::int64_t t0 = now_ns();
    write_bus(bytes);
    const bool all = pump(t0 + 10 * ns_per_s, [this, frames] {
        return std::all_of(peers_.begin(), peers_.end(), [frames](const Peer& p) {
            return !p.open ||
                   (p.in.arrivals.size() >= frames && p.in.arrivals.back().seq == frames - 1);
        });
    });
    pump(now_ns() + 50 * ns_per_ms);
    std::int64_t worst = 0;
    std::int64_t first_done = INT64_MAX;
    for (const Peer& p : peers_) {
        if (p.in.arrivals.empty()) continue;
        worst = std::max(worst, p.in.arrivals.back().t_ns - t0);
        first_done = std::min(first_done, p.in.arrivals.back().t_ns - t0);
    }
    Integrity integrity;
    for (const Peer& p : peers_)
        integrity.add(p.in, phase_burst, static_cast<std::uint32_t>(frames));
    const std::string result =
        std::string(all ? "all in " : "NOT COMPLETE after ") + fixed(to_ms(worst), 1) +
        " ms (first client done " + fixed(to_ms(first_done), 1) + " ms; floor " +
        std::to_string(frames * 2) + " ms of 2 ms pauses); " + integrity.text();
    add_row(
        std::to_string(frames) + "-frame burst -> " + std::to_string(peers_.size()) + " clients",
        result, "all, in order", all && integrity.clean());
}

void Bench::pacing(bool slow, std::size_t frames) {
    command(slow ? "delay on" : "delay off");
    pump(now_ns() + 300 * ns_per_ms);
    clear_arrivals();
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t s = 0; s < frames; ++s) {
        const auto f = make_frame(phase_pacing, s);
        bytes.insert(bytes.end(), f.begin(), f.end());
    }
    const std::int64_t t0 = now_ns();
    write_all(peers_.front().fd, bytes.data(), bytes.size());
    const std::int64_t per = (slow ? 60 : 15) * ns_per_ms;
    pump(t0 + static_cast<std::int64_t>(frames) * per + 2 * ns_per_s,
         [this, frames] { return bus_side_.count(phase_pacing) >= frames; });
    std::vector<double> gaps;
    const auto& a = bus_side_.arrivals;
    for (std::size_t i = 1; i < a.size(); ++i) {
        gaps.push_back(to_ms(a[i].t_ns - a[i - 1].t_ns));
        if (trace_)
            std::fprintf(stderr, "pacing %zu at %.3f gap %.3f\n", i, to_ms(a[i].t_ns - t0),
                         gaps.back());
    }
    Integrity integrity;
    integrity.add(bus_side_, phase_pacing, static_cast<std::uint32_t>(frames));
    const Summary g = summarise(gaps);
    std::vector<double> later(gaps.begin() + (gaps.empty() ? 0 : 1), gaps.end());
    const Summary l = summarise(later);
    const std::string first_out = a.empty() ? "-" : fixed(to_ms(a.front().t_ns - t0), 1);
    std::string result = "first frame out after " + first_out + " ms; gaps min " + fixed(g.min) +
                         "  p50 " + fixed(g.p50) + "  max " + fixed(g.max) + " ms; first gap " +
                         (gaps.empty() ? std::string("-") : fixed(gaps.front())) +
                         " ms, later gaps " + fixed(l.min) + ".." + fixed(l.max) + " ms; " +
                         integrity.text();
    const bool met =
        integrity.clean() && (slow ? g.min >= 51.0 && g.max <= 53.0 : g.n > 0 && g.min > 5.0);
    add_row(std::string("bus pacing, ") + (slow ? "50 ms" : "5 ms (delay off)") + ", " +
                std::to_string(frames) + " frames from 1 client",
            result, slow ? "51..53 ms" : "> 5 ms", met);
    if (!slow) {
        command("delay on");
        pump(now_ns() + 200 * ns_per_ms);
    }
}

// Single frames from one client, far enough apart that pacing never holds
// them back: how long each takes to reach the bus.
void Bench::uplink(std::size_t frames) {
    clear_arrivals();
    std::mt19937 random(777);
    std::vector<double> delay;
    for (std::uint32_t s = 0; s < frames; ++s) {
        const auto f = make_frame(phase_uplink, s);
        const std::int64_t t0 = now_ns();
        write_all(peers_.front().fd, f.data(), f.size());
        pump(t0 + 500 * ns_per_ms, [this, s] { return bus_side_.has(phase_uplink, s); });
        for (const Arrival& a : bus_side_.arrivals) {
            if (a.phase == phase_uplink && a.seq == s) delay.push_back(to_ms(a.t_ns - t0));
        }
        pump(t0 + (80 + static_cast<std::int64_t>(random() % 61)) * ns_per_ms);
    }
    Integrity integrity;
    integrity.add(bus_side_, phase_uplink, static_cast<std::uint32_t>(frames));
    const Summary d = summarise(delay);
    add_row("client->bus, single frames 80..140 ms apart (50 ms pacing)",
            "p50 " + fixed(d.p50) + "  max " + fixed(d.max) + " ms (min " + fixed(d.min) + "); " +
                integrity.text());
}

void Bench::idle_cpu(double seconds) {
    pump(now_ns() + 200 * ns_per_ms);
    const CpuSample a = cpu_sample(pid_);
    pump(a.t_ns + static_cast<std::int64_t>(seconds * 1e9));
    const CpuSample b = cpu_sample(pid_);
    const CpuShare c = cpu_share(a, b);
    add_row("idle CPU, " + std::to_string(peers_.size()) + " clients, " + fixed(seconds, 0) + " s",
            fixed(c.stat_pct) + " % of a core (threads' schedstat: " + fixed(c.sched_pct) + " %)",
            "< 1 %", c.stat_pct < 1.0);
}

// Bus frames at a steady rate, the clients read meanwhile; when each was written.
std::vector<std::int64_t> Bench::feed_bus(std::uint8_t phase, std::uint32_t frames, int rate) {
    const std::int64_t period = ns_per_s / rate;
    std::vector<std::int64_t> sent(frames);
    const std::int64_t start = now_ns();
    for (std::uint32_t s = 0; s < frames; ++s) {
        pump(start + s * period);
        sent[s] = now_ns();
        write_bus(make_frame(phase, s));
    }
    pump(start + frames * period);
    return sent;
}

// Until every open client has the last of `frames`, for half a second at most.
void Bench::await_last(std::uint8_t phase, std::uint32_t frames) {
    pump(now_ns() + 500 * ns_per_ms, [this, phase, frames] {
        return std::all_of(peers_.begin(), peers_.end(), [phase, frames](const Peer& p) {
            return !p.open || (!p.in.arrivals.empty() && p.in.arrivals.back().phase == phase &&
                               p.in.arrivals.back().seq == frames - 1);
        });
    });
}

void Bench::load_cpu(double seconds, int rate) {
    clear_arrivals();
    const auto frames = static_cast<std::uint32_t>(seconds * rate);
    const CpuSample a = cpu_sample(pid_);
    const std::vector<std::int64_t> sent = feed_bus(phase_load, frames, rate);
    const CpuSample b = cpu_sample(pid_);
    await_last(phase_load, frames);
    std::vector<double> lat;
    Integrity integrity;
    for (const Peer& p : peers_) {
        integrity.add(p.in, phase_load, frames);
        for (const Arrival& r : p.in.arrivals) {
            if (r.phase == phase_load && r.seq < frames) lat.push_back(to_ms(r.t_ns - sent[r.seq]));
        }
    }
    const CpuShare c = cpu_share(a, b);
    const Summary l = summarise(lat);
    add_row("CPU, " + std::to_string(peers_.size()) + " clients, " + std::to_string(rate) +
                " frames/s, " + fixed(seconds, 0) + " s",
            fixed(c.stat_pct, 1) + " % of a core (schedstat " + fixed(c.sched_pct, 1) +
                " %); latency p50 " + fixed(l.p50) + " p99 " + fixed(l.p99) + " max " +
                fixed(l.max) + " ms; " + integrity.text());
}

void Bench::peak_memory() {
    const std::int64_t hwm = status_kb(pid_, "VmHWM:");
    const std::int64_t rss = status_kb(pid_, "VmRSS:");
    add_row("peak memory (VmHWM)", fixed(static_cast<double>(hwm) / 1024.0, 1) +
                                       " MiB (VmRSS now " +
                                       fixed(static_cast<double>(rss) / 1024.0, 1) + " MiB)");
}

// One client's whole life: it connects, says it is done (half-close) and waits
// until the gateway closes too, so that the churn never outruns the gateway's
// accepting. Returns false when the connect fails or the gateway does not close.
bool Bench::connect_and_close() {
    errno = 0;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const sockaddr_in a = loopback(port_);
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
              ::shutdown(fd, SHUT_WR) == 0;
    if (ok) {
        pollfd p{fd, POLLIN, 0};
        char c = 0;
        ok = ::poll(&p, 1, 2000) == 1 && ::read(fd, &c, 1) <= 0;
    }
    ::close(fd);
    return ok;
}

// The gateway's descriptor count once it has dealt with the last closes: back at
// `expected`, or unchanged for half a second; ten seconds at most.
int Bench::settled_fd_count(int expected) {
    int last = fd_count(pid_);
    int unchanged = 0;
    const std::int64_t deadline = now_ns() + 10 * ns_per_s;
    while (last != expected && unchanged < 5 && now_ns() < deadline) {
        pump(now_ns() + 100 * ns_per_ms);
        const int n = fd_count(pid_);
        unchanged = n == last ? unchanged + 1 : 0;
        last = n;
    }
    return last;
}

// Clients that connect and close at once, one after the other: what each ended
// connection leaves behind in the gateway. The warm-up fills the gateway's
// table of ended clients (200 kept) so that it reaching its size doesn't count.
void Bench::churn(std::size_t cycles) {
    constexpr std::size_t warm_up = 300;
    const int fds_at_start = fd_count(pid_);
    for (std::size_t i = 0; i < warm_up; ++i)
        connect_and_close();
    const int fds_before = settled_fd_count(fds_at_start);
    const std::int64_t rss_before = status_kb(pid_, "VmRSS:");
    const std::int64_t hwm_before = status_kb(pid_, "VmHWM:");
    std::size_t done = 0;
    std::vector<double> each;
    each.reserve(cycles);
    const std::int64_t t0 = now_ns();
    for (std::int64_t t = t0; done < cycles && connect_and_close(); ++done) {
        const std::int64_t next = now_ns();
        each.push_back(to_ms(next - t));
        t = next;
    }
    const std::int64_t took = now_ns() - t0;
    const Summary e = summarise(std::move(each));
    if (done < cycles)
        std::fprintf(stderr, "quillon_bench: churn cycle %zu: %s\n", done + 1,
                     errno != 0 ? std::strerror(errno) : "the gateway did not close in 2 s");
    const int fds_after = settled_fd_count(fds_before);
    const std::int64_t rss_growth = status_kb(pid_, "VmRSS:") - rss_before;
    const std::int64_t hwm_growth = status_kb(pid_, "VmHWM:") - hwm_before;
    std::string result = fixed(static_cast<double>(took) / 1e9) + " s (" +
                         fixed(static_cast<double>(took) / 1e3 / static_cast<double>(done), 0) +
                         " us a cycle, p50 " + fixed(e.p50, 3) + " max " + fixed(e.max) +
                         " ms); VmRSS " + mib(rss_before) + " MiB " + signed_kib(rss_growth) +
                         ", VmHWM " + mib(hwm_before) + " MiB " + signed_kib(hwm_growth) +
                         "; fds " + std::to_string(fds_before) + " -> " + std::to_string(fds_after);
    if (done < cycles) result += "; STOPPED after " + std::to_string(done) + " cycles";
    const bool met =
        done == cycles && rss_growth < 1024 && hwm_growth < 1024 && fds_after == fds_before;
    add_row("connect/close churn, " + std::to_string(cycles) + " cycles after " +
                std::to_string(warm_up) + " to warm up",
            result, "growth < 1 MiB, fds as before", met);
}

// A long steady load; the memory should level off after the first minute.
void Bench::soak(int minutes, int rate) {
    const auto per_minute = static_cast<std::uint32_t>(60 * rate);
    std::vector<std::int64_t> rss{status_kb(pid_, "VmRSS:")};
    Integrity integrity;
    double worst_p99 = 0;
    for (int m = 1; m <= minutes && alive(); ++m) {
        clear_arrivals();
        const std::vector<std::int64_t> sent = feed_bus(phase_soak, per_minute, rate);
        await_last(phase_soak, per_minute);
        std::vector<double> lat;
        for (const Peer& p : peers_) {
            integrity.add(p.in, phase_soak, per_minute);
            for (const Arrival& r : p.in.arrivals) {
                if (r.phase == phase_soak && r.seq < per_minute)
                    lat.push_back(to_ms(r.t_ns - sent[r.seq]));
            }
        }
        const Summary l = summarise(std::move(lat));
        worst_p99 = std::max(worst_p99, l.p99);
        rss.push_back(status_kb(pid_, "VmRSS:"));
        std::printf("  .. soak minute %d: VmRSS %s MiB, latency p99 %s ms\n", m,
                    mib(rss.back()).c_str(), fixed(l.p99).c_str());
        std::fflush(stdout);
    }
    clear_arrivals();
    std::string samples;
    for (const std::int64_t kb : rss)
        samples += (samples.empty() ? "" : " ") + mib(kb);
    const std::string what = "soak, " + std::to_string(peers_.size()) + " clients, " +
                             std::to_string(rate) + " frames/s, " + std::to_string(minutes) +
                             " min";
    add_row(
        what + ": VmRSS at minute 0, 1, ...",
        samples + " MiB; latency p99 at worst " + fixed(worst_p99) + " ms; " + integrity.text());
    const bool complete = static_cast<int>(rss.size()) == minutes + 1;
    const std::int64_t drift = complete ? rss.back() - rss[2] : 0;
    add_row(what + ": flat",
            complete ? "last minute " + signed_kib(drift) + " from the second"
                     : "STOPPED after " + std::to_string(rss.size() - 1) + " minutes",
            "last minute within 1 MiB of the second", complete && std::llabs(drift) <= 1024);
}

void noise_row(const Bench& bench) {
    const Summary w = summarise(bench.wake_lateness_ms);
    add_row("bench's own timer wake-up lateness (noise floor)",
            "p50 " + fixed(w.p50) + "  p99 " + fixed(w.p99) + "  max " + fixed(w.max) +
                " ms over " + std::to_string(w.n) + " waits; load average " + load_average() +
                "; " + std::to_string(bench.stamped_reads_) + " kernel-stamped client reads");
}

void print_table() {
    std::size_t w0 = 11, w1 = 6;
    for (const Row& r : table) {
        w0 = std::max(w0, r.what.size());
        w1 = std::max(w1, r.result.size());
    }
    std::printf("\n%-*s | %-*s | %s\n", static_cast<int>(w0), "measurement", static_cast<int>(w1),
                "result", "target");
    std::printf("%s\n", std::string(w0 + w1 + 24, '-').c_str());
    for (const Row& r : table) {
        std::string target = r.target;
        if (!target.empty()) target += r.met ? "  ok" : "  MISSED";
        std::printf("%-*s | %-*s | %s\n", static_cast<int>(w0), r.what.c_str(),
                    static_cast<int>(w1), r.result.c_str(), target.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    int soak_minutes = 0;
    std::string program = QUILLON_PROGRAM_PATH;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "--soak") {
            if (soak_minutes == 0) soak_minutes = 10;
        } else if (arg == "--soak-minutes" && i + 1 < argc && std::atoi(argv[i + 1]) >= 2) {
            soak_minutes = std::atoi(argv[++i]);
        } else if (arg == "--quillon" && i + 1 < argc) {
            program = argv[++i];
        } else {
            std::fprintf(
                stderr,
                "Usage: quillon_bench [--quick] [--soak] [--soak-minutes N] [--quillon PATH]\n"
                "  --soak adds a 10-minute run (N minutes, at least 2) of 100 clients at 100 "
                "frames/s that samples the gateway's memory every minute.\n");
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGHUP, on_signal);

    const std::size_t latency_frames = quick ? 60 : 200;
    const double cpu_seconds = quick ? 3.0 : 10.0;

    Bench bench;
    if (!bench.start(program)) return 1;
    std::printf("quillon_bench%s: %s (pid %d), TCP port %u, bus on %s\n", quick ? " --quick" : "",
                program.c_str(), static_cast<int>(bench.pid()), static_cast<unsigned>(bench.port()),
                bench.pty_name().c_str());
    std::fflush(stdout);

    const auto step = [&bench](bool ok) {
        if (!ok || !bench.alive()) {
            std::fprintf(stderr, "quillon_bench: stopping early\n");
            return false;
        }
        return true;
    };

    const std::int64_t t_start = now_ns();
    [&] {
        if (!step(bench.connect_peers(1))) return;
        bench.latency(latency_frames);
        if (!step(bench.connect_peers(10))) return;
        bench.latency(latency_frames);
        bench.idle_cpu(cpu_seconds);
        bench.pacing(true, 30);
        bench.pacing(false, 30);
        bench.uplink(quick ? 10 : 20);
        if (!step(bench.connect_peers(100))) return;
        bench.latency(latency_frames);
        bench.burst(50);
        bench.load_cpu(cpu_seconds, 100);
        bench.peak_memory();
        bench.churn(quick ? 2000 : 10000);
        if (soak_minutes > 0 && step(bench.sync_peers())) bench.soak(soak_minutes, 100);
    }();
    noise_row(bench);
    bench.stop();

    print_table();
    std::printf(
        "(%.0f s; bus->client: from the write on the pty to the kernel's receive stamp of the "
        "frame's last bytes at the client; bus side: when the bench's poll saw the bytes on the "
        "pty)\n",
        static_cast<double>(now_ns() - t_start) / 1e9);
    return 0;
}
