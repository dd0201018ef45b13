// The gateway under test: its process, started on the bench's pseudo-terminal
// with a configuration of the bench's, and the bus side of that terminal.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "bench/bench.hpp"
#include "bench/clock.hpp"
#include "bench/sockets.hpp"

namespace quillon::bench {

namespace fs = std::filesystem;

namespace {

// The gateways running, for the signal handler to end: two at most (the MQTT
// comparison runs one beside the other).
volatile sig_atomic_t child_pids[2] = {-1, -1};

void track(pid_t from, pid_t to) {
    for (volatile sig_atomic_t& slot : child_pids) {
        if (slot == from) {
            slot = to;
            return;
        }
    }
}

}  // namespace

void on_signal(int) {
    for (const pid_t pid : child_pids) {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    ::_exit(130);
}

void Bench::note(const std::string& what, const std::string& result) const {
    const char* extra = prefix_ == "tls."    ? ", TLS"
                        : prefix_ == "web."  ? ", web monitor"
                        : prefix_ == "mqtt." ? ", MQTT"
                                             : "";
    std::printf("  .. [%s%s] %s: %s\n", label_.c_str(), extra, what.c_str(), result.c_str());
    std::fflush(stdout);
}

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
    pty_watch_.start(master_);
    return true;
}

bool Bench::open() {
    if (::access(program_.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "quillon_bench: cannot run %s\n", program_.c_str());
        return false;
    }
    char tmpl[] = "/tmp/quillon-bench.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return false;
    dir_ = tmpl;
    if (!open_pty()) {
        std::fprintf(stderr, "quillon_bench: no pseudo-terminal: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

// Starts a fresh gateway process and notes how long it took until its TCP port
// answered (connect tried every 0.2 ms); that first connection is client 0.
bool Bench::launch(Extra extra) {
    const bool tls = extra == Extra::tls;
    tls_ = tls;
    prefix_ = tls ? "tls." : extra == Extra::web ? "web." : extra == Extra::mqtt ? "mqtt." : "";
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = free_port();
        tls_port_ = tls ? free_port() : 0;
        web_port_ = extra == Extra::web ? free_port() : 0;
        if (port_ == 0 || (tls && (tls_port_ == 0 || tls_port_ == port_))) return false;
        // Not the analyzer's UDP port beside the TCP one either, to be safe.
        if (extra == Extra::web && (web_port_ == 0 || web_port_ == port_ || web_port_ == port_ + 1))
            return false;
        const std::string port = std::to_string(port_);
        const std::string config = (dir_ / "ser2net.yaml").string();
        const std::string pid_file = (dir_ / "ser2net.pid").string();
        if (side_ == Side::quillon) {
            std::ofstream ini(dir_ / "Quillon.ini", std::ios::binary | std::ios::trunc);
            ini << "IPPort = " << port << "\r\nSerialPort = " << pty_name_ << ",38400,0,8,1,0\r\n";
            // The self-signed pair is made by the first TLS start, beside the file.
            if (tls) ini << "TLSPort = " << tls_port_ << "\r\n";
            if (web_port_ != 0) ini << "WebPort = " << web_port_ << "\r\n";
            if (extra == Extra::mqtt)
                ini << "MqttBroker = mqtt://127.0.0.1:" << mqtt_port_
                    << "\r\nMqttTopic = " << mqtt_prefix_ << "\r\n";
        } else {
            std::ofstream yaml(config, std::ios::trunc);
            yaml << "connection: &velbus\n"
                    "  accepter: tcp,127.0.0.1,"
                 << port << "\n  connector: serialdev," << pty_name_
                 << ",38400n81,local\n"
                    "  options:\n"
                    "    max-connections: 2000\n"
                    "    chardelay: false\n";
        }
        int cmd[2] = {-1, -1};
        if (side_ == Side::quillon && ::pipe2(cmd, O_CLOEXEC) != 0) return false;
        const std::string err_path = (dir_ / "gateway.err").string();
        const std::string dir = dir_.string();
        const char* program = program_.c_str();

        const std::int64_t t0 = now_ns();
        const pid_t pid = ::fork();
        if (pid < 0) {
            if (cmd[0] >= 0) ::close(cmd[0]);
            if (cmd[1] >= 0) ::close(cmd[1]);
            return false;
        }
        if (pid == 0) {
            const int in = cmd[0] >= 0 ? cmd[0] : ::open("/dev/null", O_RDONLY);
            const int out = ::open("/dev/null", O_WRONLY);
            const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0 || ::chdir(dir.c_str()) != 0) ::_exit(127);
            ::dup2(in, STDIN_FILENO);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            if (side_ == Side::quillon) {
                ::execl(program, program, "--headless", "--listen", "127.0.0.1",
                        static_cast<char*>(nullptr));
            } else {
                ::execl(program, program, "-n", "-u", "-c", config.c_str(), "-P", pid_file.c_str(),
                        static_cast<char*>(nullptr));
            }
            ::_exit(127);
        }
        if (cmd[0] >= 0) ::close(cmd[0]);
        command_fd_ = cmd[1];
        pid_ = pid;
        track(-1, pid);

        const std::int64_t deadline = t0 + 10 * ns_per_s;
        while (now_ns() < deadline && alive()) {
            const int fd = open_peer_connection(port_);
            if (fd >= 0) {
                const double took = to_ms(now_ns() - t0);
                if (extra == Extra::none) put("start", took);
                if (trace_) std::fprintf(stderr, "%s start %.2f ms\n", label_.c_str(), took);
                peers_.push_back(Peer{fd, true, {}, {}});
                return true;
            }
            sleep_ns(200'000);
        }
        std::ifstream err(dir_ / "gateway.err");
        std::fprintf(stderr, "quillon_bench: %s did not start (port %u):\n%s\n", side_name(side_),
                     static_cast<unsigned>(port_),
                     std::string(std::istreambuf_iterator<char>(err), {}).c_str());
        stop_process();
    }
    return false;
}

bool Bench::alive() {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == 0) return true;
    if (r == pid_) {
        std::fprintf(stderr, "quillon_bench: %s ended (%s %d)\n", side_name(side_),
                     WIFSIGNALED(status) ? "signal" : "status",
                     WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
        track(pid_, -1);
        pid_ = -1;
    }
    return false;
}

void Bench::stop_process() {
    drop_peers();
    if (command_fd_ >= 0) ::close(command_fd_);
    command_fd_ = -1;
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        pid_t r = 0;
        for (int i = 0; i < 300 && (r = ::waitpid(pid_, &status, WNOHANG)) == 0; ++i)
            ::usleep(10'000);
        if (r == 0) {
            std::fprintf(stderr, "quillon_bench: %s ignored SIGTERM; killing it\n",
                         side_name(side_));
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        track(pid_, -1);
        pid_ = -1;
    }
    // Bus bytes that one process left unread must not reach the next one.
    if (slave_ >= 0) ::tcflush(slave_, TCIOFLUSH);
    if (master_ >= 0) read_master(now_ns());
    clear_arrivals();
}

void Bench::close() {
    stop_process();
    pty_watch_.stop();
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
    dir_.clear();
}

void Bench::write_bus(const std::vector<std::uint8_t>& bytes) {
    if (!write_all(master_, bytes.data(), bytes.size()))
        std::fprintf(stderr, "quillon_bench: pty write: %s\n", std::strerror(errno));
}

void Bench::command(const std::string& line) {
    if (command_fd_ < 0) return;
    const std::string text = line + "\n";
    write_all(command_fd_, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace quillon::bench
