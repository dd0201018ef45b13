// What the MQTT bridge costs: a mosquitto of the bench's own on loopback, a
// subscriber on the gateway's frame topic, the time from a frame's write on the
// bus to the subscriber's receipt of it, and the gateway's CPU at 100 frames/s
// without MQTT and with it.
#include <fcntl.h>
#include <mosquitto.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench.hpp"
#include "bench/clock.hpp"
#include "bench/process_figures.hpp"
#include "bench/sockets.hpp"
#include "bus/bus_frame.hpp"

namespace quillon::bench {

namespace {

// mosquitto on 127.0.0.1 with a configuration of its own; ended and reaped with the object.
class Broker {
  public:
    Broker() = default;
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;
    ~Broker() { stop(); }

    bool start(const std::string& program, const std::filesystem::path& dir) {
        port_ = free_port();
        if (port_ == 0) return false;
        const std::string conf = (dir / "mosquitto.conf").string();
        const std::string log = (dir / "mosquitto.log").string();
        // Nagle off towards the subscriber, so that the figure is the gateway's:
        // with it on, a message can wait for the ACK of the one before (p99 of
        // 6 to 10 ms here instead of about 1).
        std::ofstream(conf, std::ios::trunc)
            << "listener " << port_
            << " 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n";
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            // Gone with the bench, should the bench die first.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0) ::_exit(127);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            ::execl(program.c_str(), program.c_str(), "-c", conf.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (const std::int64_t deadline = now_ns() + 5 * ns_per_s; now_ns() < deadline;) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in a = loopback(port_);
            const bool up = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
            ::close(fd);
            if (up) return true;
            sleep_ns(5 * ns_per_ms);
        }
        return false;
    }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        pid_t r = 0;
        for (int i = 0; i < 300 && (r = ::waitpid(pid_, nullptr, WNOHANG)) == 0; ++i)
            sleep_ns(10 * ns_per_ms);
        if (r == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

    std::uint16_t port() const { return port_; }

  private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

// Subscribed to PREFIX/frame and PREFIX/status; its own thread notes when each
// frame's message came, by the frame's hex.
class Subscriber {
  public:
    Subscriber() { mosquitto_lib_init(); }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;
    ~Subscriber() {
        if (m_ != nullptr) {
            mosquitto_disconnect(m_);
            mosquitto_loop_stop(m_, false);
            mosquitto_destroy(m_);
        }
        mosquitto_lib_cleanup();
    }

    bool start(std::uint16_t port, const std::string& prefix) {
        frame_topic_ = prefix + "/frame";
        status_topic_ = prefix + "/status";
        m_ = mosquitto_new(nullptr, true, this);
        if (m_ == nullptr) return false;
        mosquitto_message_callback_set(
            m_, [](mosquitto*, void* self, const mosquitto_message* message) {
                static_cast<Subscriber*>(self)->take(message);
            });
        return mosquitto_connect(m_, "127.0.0.1", port, 60) == MOSQ_ERR_SUCCESS &&
               mosquitto_subscribe(m_, nullptr, frame_topic_.c_str(), 0) == MOSQ_ERR_SUCCESS &&
               mosquitto_subscribe(m_, nullptr, status_topic_.c_str(), 0) == MOSQ_ERR_SUCCESS &&
               mosquitto_loop_start(m_) == MOSQ_ERR_SUCCESS;
    }

    // Receipts so far are forgotten: the next frames may look the same.
    void forget() {
        const std::lock_guard lock(mutex_);
        got_.clear();
    }

    bool online() {
        const std::lock_guard lock(mutex_);
        return online_;
    }

    std::optional<std::int64_t> received(const std::string& hex) {
        const std::lock_guard lock(mutex_);
        const auto it = got_.find(hex);
        if (it == got_.end()) return std::nullopt;
        return it->second;
    }

  private:
    void take(const mosquitto_message* message) {
        const std::int64_t t = now_ns();
        const std::string_view payload(static_cast<const char*>(message->payload),
                                       static_cast<std::size_t>(message->payloadlen));
        const std::lock_guard lock(mutex_);
        if (status_topic_ == message->topic) {
            online_ = payload == "online";
            return;
        }
        constexpr std::string_view key = R"("hex":")";
        const auto at = payload.find(key);
        const auto end = at == std::string_view::npos ? at : payload.find('"', at + key.size());
        if (end != std::string_view::npos)
            got_.emplace(payload.substr(at + key.size(), end - at - key.size()), t);
    }

    mosquitto* m_ = nullptr;
    std::string frame_topic_;
    std::string status_topic_;
    std::mutex mutex_;
    bool online_ = false;
    std::map<std::string, std::int64_t, std::less<>> got_;  // the first receipt of each hex
};

// Every thread of the process on the CPUs of `cpus`. A virtual machine's CPUs
// lose time to the host unevenly, and that time is counted as the threads' own:
// two gateways compared share one CPU, and with it what it loses.
void pin(pid_t pid, const cpu_set_t& cpus) {
    std::error_code ec;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec))
        ::sched_setaffinity(std::stoi(task.path().filename().string()), sizeof cpus, &cpus);
}

std::string hex_of(const std::vector<std::uint8_t>& frame) {
    return hex_dump(frame.data(), frame.size());
}

}  // namespace

void Bench::mqtt(const std::string& broker_program, std::size_t frames, double seconds) {
    // Without MQTT, a second gateway beside this one on a terminal of its own:
    // both take the same frames at the same moments, so that the machine's
    // other work weighs on both alike.
    Bench plain(side_, program_, label_);
    if (!plain.open() || !plain.launch()) return;
    Broker broker;
    if (!broker.start(broker_program, dir_)) {
        std::fprintf(stderr, "quillon_bench: %s did not start; no MQTT figures\n",
                     broker_program.c_str());
        return;
    }
    mqtt_port_ = broker.port();
    mqtt_prefix_ = "quillon-bench/" + std::to_string(::getpid());
    Subscriber subscriber;
    if (!subscriber.start(mqtt_port_, mqtt_prefix_) || !launch(Extra::mqtt)) {
        std::fprintf(stderr, "quillon_bench: no MQTT subscriber or gateway; no MQTT figures\n");
        return;
    }
    for (const std::int64_t deadline = now_ns() + 10 * ns_per_s;
         !subscriber.online() && now_ns() < deadline;)
        pump(now_ns() + 10 * ns_per_ms);
    if (!subscriber.online()) {
        std::fprintf(stderr, "quillon_bench: %s/status never came online\n", mqtt_prefix_.c_str());
        stop_process();
        return;
    }

    // 100 frames/s to both; the plain one's clients are read at each frame.
    const auto feed = [&](std::uint8_t phase, std::uint32_t count) {
        const std::int64_t start = now_ns();
        for (std::uint32_t s = 0; s < count; ++s) {
            pump(start + s * ns_per_s / 100);
            const auto frame = make_frame(phase, s);
            write_bus(frame);
            plain.write_bus(frame);
            for (Peer& p : plain.peers_)
                plain.read_peer(p, now_ns());
        }
        pump(start + count * ns_per_s / 100);
    };
    const auto load_frames = static_cast<std::uint32_t>(seconds * 100);
    cpu_set_t all;
    cpu_set_t last;
    CPU_ZERO(&last);
    if (::sched_getaffinity(0, sizeof all, &all) != 0) CPU_ZERO(&all);
    for (std::size_t c = 0; c < CPU_SETSIZE; ++c) {
        if (!CPU_ISSET(c, &all)) continue;
        CPU_ZERO(&last);
        CPU_SET(c, &last);
    }
    pin(pid_, last);
    pin(plain.pid_, last);
    for (const std::size_t clients : {std::size_t{1}, std::size_t{100}}) {
        if (!connect_peers(clients) || !plain.connect_peers(clients)) break;
        // A second first, so that neither pays for its first frames in the figures.
        feed(phase_sync, 100);
        pump(now_ns() + 200 * ns_per_ms);
        subscriber.forget();
        const CpuSample on0 = cpu_sample(pid_);
        const CpuSample off0 = cpu_sample(plain.pid_);
        feed(phase_load, load_frames);
        const CpuSample off1 = cpu_sample(plain.pid_);
        const CpuSample on1 = cpu_sample(pid_);
        pump(now_ns() + 500 * ns_per_ms);
        const CpuShare on = cpu_share(on0, on1);
        const CpuShare off = cpu_share(off0, off1);
        const double increase = off.sched_pct > 0 ? (on.sched_pct / off.sched_pct - 1) * 100 : 0;
        double lost = 0;
        for (std::uint32_t s = 0; s < load_frames; ++s)
            lost += subscriber.received(hex_of(make_frame(phase_load, s))) ? 0 : 1;
        const std::string key = "cpu." + std::to_string(clients);
        put(key, on.sched_pct);
        put(key + ".stat", on.stat_pct);
        put(key + ".off", off.sched_pct);
        put(key + ".off_stat", off.stat_pct);
        put(key + ".increase", increase);
        put(key + ".faults", lost);
        note("CPU, " + std::to_string(clients) + " client" + (clients == 1 ? "" : "s") +
                 ", 100 frames/s, " + fixed(seconds, 0) + " s, beside one without MQTT",
             fixed(on.sched_pct) + " % of a core vs " + fixed(off.sched_pct) + " % (" +
                 (increase >= 0 ? "+" : "") + fixed(increase, 1) + " %) by schedstat; " +
                 fixed(on.stat_pct, 1) + " vs " + fixed(off.stat_pct, 1) + " % by stat ticks; " +
                 fixed(lost, 0) + " not received by the subscriber");
    }
    plain.close();
    pin(pid_, all);
    drop_peers();  // the latency is taken with the start's one client, as bus->client's is
    connect_peers(1);

    // Single frames 20..30 ms apart; each timed from its write to the subscriber's receipt.
    std::mt19937 random(4242);
    std::vector<std::pair<std::string, std::int64_t>> sent;
    for (std::uint32_t s = 0; s < frames; ++s) {
        const auto frame = make_frame(phase_latency, s);
        std::string hex = hex_of(frame);
        const std::int64_t t0 = now_ns();
        write_bus(frame);
        sent.emplace_back(std::move(hex), t0);
        pump(t0 + (20 + static_cast<std::int64_t>(random() % 11)) * ns_per_ms);
    }
    pump(now_ns() + 500 * ns_per_ms);
    std::vector<double> each;
    for (std::size_t k = 0; k < sent.size(); ++k) {
        const auto t = subscriber.received(sent[k].first);
        if (t) each.push_back(to_ms(*t - sent[k].second));
        if (trace_)
            std::fprintf(stderr, "%s mqtt %zu sent %.3f got %.3f\n", label_.c_str(), k,
                         to_ms(sent[k].second), t ? to_ms(*t - sent[k].second) : -1.0);
    }
    const Summary l = summarise(each);
    const auto missing = static_cast<double>(frames - each.size());
    put("lat.p50", l.p50);
    put("lat.p99", l.p99);
    put("lat.max", l.max);
    put("lat.faults", missing);
    note("bus->MQTT subscriber (" + std::to_string(frames) + " frames, 20..30 ms apart)",
         "p50 " + fixed(l.p50, 3) + "  p99 " + fixed(l.p99, 3) + "  max " + fixed(l.max) + " ms; " +
             fixed(missing, 0) + " not received");
    stop_process();
}

}  // namespace quillon::bench
