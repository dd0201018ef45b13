// One gateway under test with the bench's clients around it. Its parts are
// defined by concern: the process and its pseudo-terminal in gateway.cpp, the
// clients in clients.cpp, the measurements in latency.cpp, pacing.cpp, cpu.cpp,
// memory.cpp and connections.cpp.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/figures.hpp"
#include "bench/frames.hpp"
#include "bench/pty_watch.hpp"
#include "bench/websocket_reader.hpp"

namespace quillon::bench {

// Kills the gateway running, if any, and ends the bench: for SIGINT, SIGTERM, SIGHUP.
void on_signal(int);

// A TLS client's OpenSSL state: defined in clients.cpp, which alone needs OpenSSL.
struct TlsSession;

struct Peer {
    int fd = -1;
    bool open = true;
    FrameStream in;
    std::shared_ptr<TlsSession> tls;  // none: a plain client
};

// A browser watching the web monitor, read in the same loop as the clients.
struct Browser {
    int fd = -1;
    bool open = true;
    WebSocketReader in;
};

// What a gateway process serves besides the plain TCP clients.
enum class Extra : std::uint8_t {
    none,
    tls,   // a TLS server too, which the clients use; figures filed under "tls."
    web,   // the web monitor too, which browsers watch; figures filed under "web."
    mqtt,  // MQTT to the bench's broker at mqtt_port_; figures filed under "mqtt."
};

// One gateway, Quillon or ser2net, on a pseudo-terminal of its own; it may be
// started several times, each a fresh process on the same terminal.
class Bench {
  public:
    Bench(Side side, std::string program, std::string label)
        : side_(side), program_(std::move(program)), label_(std::move(label)) {}
    ~Bench() { close(); }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    bool open();
    bool launch(Extra extra = Extra::none);
    void stop_process();
    void close();
    bool alive();

    bool connect_peers(std::size_t total);
    bool connect_browsers(std::size_t total);
    bool sync_peers();

    void latency(std::size_t frames);
    void burst(std::size_t frames);
    void pacing(bool slow, std::size_t frames);
    void pacing_under_burst(bool spread);
    void uplink(std::size_t frames);
    void idle_cpu(double seconds);
    void load_cpu(double seconds, int rate);
    void peak_memory(const std::string& key);
    void serve(std::size_t total);
    void churn(std::size_t cycles);
    void soak(int minutes, int rate);
    void noise();
    // A broker of the bench's own, a subscriber on it, and a gateway with MQTT and without.
    void mqtt(const std::string& broker_program, std::size_t frames, double seconds);

    Side side() const { return side_; }
    pid_t pid() const { return pid_; }
    std::uint16_t port() const { return port_; }
    const std::string& pty_name() const { return pty_name_; }

  private:
    bool open_pty();
    void write_bus(const std::vector<std::uint8_t>& bytes);
    void command(const std::string& line);

    bool pump(std::int64_t deadline_ns, const std::function<bool()>& done = {});
    void read_master(std::int64_t t_ns);
    void read_peer(Peer& p, std::int64_t t_ns);
    void read_browser(Browser& b);
    bool websocket_handshake(Browser& b, std::int64_t deadline_ns);
    bool tls_handshake(Peer& p, std::int64_t deadline_ns);
    void flush_tls(Peer& p);
    void clear_arrivals();
    void drop_peers();
    int open_peer_connection(std::uint16_t port);

    std::vector<std::int64_t> feed_bus(std::uint8_t phase, std::uint32_t frames, int rate);
    void await_last(std::uint8_t phase, std::uint32_t frames);
    void paced_gaps(const std::string& key, std::int64_t t0, std::size_t frames,
                    const std::string& what);
    bool connect_and_close();
    int settled_fd_count(int expected);
    void put(const std::string& key, double value) { figures.put(side_, prefix_ + key, value); }
    void note(const std::string& what, const std::string& result) const;

    Side side_;
    std::string program_;
    std::string label_;
    pid_t pid_ = -1;
    int master_ = -1;
    int slave_ = -1;
    int command_fd_ = -1;
    std::uint16_t port_ = 0;
    std::uint16_t tls_port_ = 0;
    bool tls_ = false;
    std::uint16_t web_port_ = 0;  // 0: no web monitor
    std::uint16_t mqtt_port_ = 0;
    std::string mqtt_prefix_;
    std::string prefix_;  // of the keys of this process's figures
    std::string pty_name_;
    std::filesystem::path dir_;
    FrameStream bus_side_;  // what the gateway wrote towards the bus
    PtyWatch pty_watch_;
    std::vector<Peer> peers_;
    std::vector<Browser> browsers_;
    std::int64_t browsers_lost_ = 0;
    std::vector<pollfd> fds_;
    std::uint32_t sync_seq_ = 0;
    std::int64_t peers_lost_ = 0;
    std::int64_t realtime_offset_ns_ = 0;  // CLOCK_REALTIME - CLOCK_MONOTONIC
    std::int64_t stamped_reads_ = 0;       // client reads that carried a kernel receive stamp
    bool trace_ = std::getenv("QUILLON_BENCH_TRACE") != nullptr;  // per-frame figures on stderr
    // How late the bench itself woke from its timed waits: the noise floor of
    // every figure it takes without a kernel stamp.
    std::vector<double> wake_lateness_ms_;
};

}  // namespace quillon::bench
