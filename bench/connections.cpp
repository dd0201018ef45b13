// Many clients at once: how fast a fresh gateway serves them; and one after
// the other, connecting and closing: what each leaves behind in the gateway.
#include <linux/netlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench.hpp"
#include "bench/clock.hpp"
#include "bench/process_figures.hpp"
#include "bench/sockets.hpp"

namespace quillon::bench {

// From the first of `total` connects to a gateway that has no client until
// each of them has received a bus frame. A connect that finds the listener's
// queue full is dropped by the kernel and tried again a second later, which
// would measure that timer rather than the gateway (ser2net listens with room
// for 5): the bench connects only while the queue has room. Bus frames go out
// 1 ms apart at most, and never before the clients served so far have the
// previous one, so that a gateway slow to hand one out is not given more meanwhile.
// Clients still without a frame 5 s after the last connect count as served then.
void Bench::serve(std::size_t total) {
    drop_peers();
    pump(now_ns() + 200 * ns_per_ms);
    clear_arrivals();
    const int diag = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    const ListenQueue first = listen_queue(diag, port_);
    const std::int64_t t0 = now_ns();
    int connect_error = 0;
    std::int64_t stalls = 0;
    std::int64_t waits = 0;
    while (peers_.size() < total && now_ns() < t0 + 30 * ns_per_s) {
        const ListenQueue q = listen_queue(diag, port_);
        if (q.room > 0 && q.waiting + 2 > q.room) {
            ++waits;
            sleep_ns(50'000);
            continue;
        }
        const std::int64_t t = now_ns();
        const int fd = open_peer_connection(port_);
        if (fd < 0) {
            connect_error = errno;
            break;
        }
        if (now_ns() - t > 200 * ns_per_ms) ++stalls;
        peers_.push_back(Peer{fd, true, {}, {}});
    }
    const std::int64_t connected = now_ns();
    const auto all_served = [this] {
        return std::all_of(peers_.begin(), peers_.end(),
                           [](const Peer& p) { return !p.open || !p.in.arrivals.empty(); });
    };
    std::vector<bool> had(peers_.size());
    const std::int64_t deadline = connected + 5 * ns_per_s;
    std::uint32_t frames = 0;
    while (!all_served() && now_ns() < deadline) {
        for (std::size_t i = 0; i < peers_.size(); ++i)
            had[i] = peers_[i].open && !peers_[i].in.arrivals.empty();
        const std::uint32_t seq = sync_seq_++;
        const std::int64_t written = now_ns();
        write_bus(make_frame(phase_sync, seq));
        ++frames;
        pump(written + ns_per_ms, all_served);
        pump(written + 50 * ns_per_ms, [&] {
            if (all_served()) return true;
            for (std::size_t i = 0; i < peers_.size(); ++i) {
                if (had[i] && peers_[i].open && !peers_[i].in.has(phase_sync, seq)) return false;
            }
            return true;
        });
    }
    std::int64_t last = 0;
    std::int64_t closed = 0;
    std::int64_t unserved = static_cast<std::int64_t>(total - peers_.size());
    for (const Peer& p : peers_) {
        if (!p.open || p.in.arrivals.empty()) {
            ++unserved;
            if (!p.open) ++closed;
            continue;
        }
        last = std::max(last, p.in.arrivals.front().t_ns - t0);
    }
    const std::string key = "served." + std::to_string(total);
    put(key, unserved == 0 ? to_ms(last) : to_ms(deadline - t0));
    put(key + ".connect", to_ms(connected - t0));
    put(key + ".faults", static_cast<double>(unserved + stalls));
    std::string result =
        fixed(to_ms(last), 1) + " ms (connects done after " + fixed(to_ms(connected - t0), 1) +
        " ms, " + std::to_string(stalls) + " of them stalled; " + std::to_string(frames) +
        " bus frames; listen queue room " +
        (first.room >= 0
             ? std::to_string(first.room) + ", waited for room " + std::to_string(waits) + " times"
             : std::string("unknown")) +
        ")";
    if (unserved != 0) {
        result += "; " + std::to_string(unserved) + " NOT SERVED (" + std::to_string(closed) +
                  " of them closed by the gateway; " +
                  std::to_string(std::max(0, listen_queue(diag, port_).waiting)) +
                  " still waiting to be accepted; the gateway holds " +
                  std::to_string(fd_count(pid_)) + " descriptors)";
        if (connect_error != 0)
            result += std::string(" (connect: ") + std::strerror(connect_error) + ")";
    }
    if (diag >= 0) ::close(diag);
    note(std::to_string(total) + " clients connected and served", result);
    peak_memory(key + ".hwm");
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
    put("churn.s", static_cast<double>(took) / 1e9);
    put("churn.us",
        static_cast<double>(took) / 1e3 / static_cast<double>(std::max<std::size_t>(done, 1)));
    put("churn.p50", e.p50);
    put("churn.max", e.max);
    put("churn.rss_mib", static_cast<double>(rss_before) / 1024.0);
    put("churn.hwm_mib", static_cast<double>(hwm_before) / 1024.0);
    put("churn.rss_growth", static_cast<double>(rss_growth));
    put("churn.hwm_growth", static_cast<double>(hwm_growth));
    put("churn.fds_before", fds_before);
    put("churn.fds_after", fds_after);
    put("churn.fds_grown", fds_after - fds_before);
    put("churn.short", static_cast<double>(cycles - done));
    std::string result = fixed(static_cast<double>(took) / 1e9) + " s (" +
                         fixed(static_cast<double>(took) / 1e3 / static_cast<double>(done), 0) +
                         " us a cycle, p50 " + fixed(e.p50, 3) + " max " + fixed(e.max) +
                         " ms); VmRSS " + mib(rss_before) + " MiB " + signed_kib(rss_growth) +
                         ", VmHWM " + mib(hwm_before) + " MiB " + signed_kib(hwm_growth) +
                         "; fds " + std::to_string(fds_before) + " -> " + std::to_string(fds_after);
    if (done < cycles) result += "; STOPPED after " + std::to_string(done) + " cycles";
    note("connect/close churn, " + std::to_string(cycles) + " cycles after " +
             std::to_string(warm_up) + " to warm up",
         result);
}

}  // namespace quillon::bench
