// How long frames take: bus to clients, one at a time and in a burst; client to
// bus and the echo to the other clients; and the bench's own timer lateness,
// the noise floor under them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/bench.hpp"
#include "bench/clock.hpp"
#include "bench/process_figures.hpp"
#include "bench/sockets.hpp"

namespace quillon::bench {

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
                std::fprintf(stderr, "%s latency %u sent %.3f first %.3f last %.3f\n",
                             label_.c_str(), s, to_ms(t0), to_ms(best), to_ms(worst));
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
    const std::string key = "lat." + std::to_string(k);
    put(key + ".p50", e.p50);
    put(key + ".p99", e.p99);
    put(key + ".max", e.max);
    put(key + ".faults", static_cast<double>(integrity.faults()));
    std::string result = "p50 " + fixed(e.p50, 3) + "  p99 " + fixed(e.p99, 3) + "  max " +
                         fixed(e.max) + " ms; first/last client p50 " + fixed(f.p50, 3) + "/" +
                         fixed(l.p50, 3) + " p99 " + fixed(f.p99) + "/" + fixed(l.p99) +
                         " ms; at bench wake-up p99 " + fixed(w.p99) + " ms; " + integrity.text();
    if (timeouts != 0) result += "; " + std::to_string(timeouts) + " frames not everywhere";
    note("bus->client, " + std::to_string(k) + " client" + (k == 1 ? "" : "s") + " (" +
             std::to_string(frames) + " frames)",
         result);
}

void Bench::burst(std::size_t frames) {
    clear_arrivals();
    const std::vector<std::uint8_t> bytes = make_frames(phase_burst, frames);
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
    put("burst.all", to_ms(worst));
    put("burst.first", to_ms(first_done));
    put("burst.faults", static_cast<double>(integrity.faults() + (all ? 0 : 1)));
    note(std::to_string(frames) + "-frame burst -> " + std::to_string(peers_.size()) + " clients",
         std::string(all ? "all in " : "NOT COMPLETE after ") + fixed(to_ms(worst), 1) +
             " ms (first client done " + fixed(to_ms(first_done), 1) + " ms); " + integrity.text());
}

// Single frames from one client, far enough apart that pacing never holds
// them back: how long each takes to reach the bus, and its echo copy the
// other clients.
void Bench::uplink(std::size_t frames) {
    clear_arrivals();
    std::mt19937 random(777);
    std::vector<double> delay;
    std::vector<double> echo;
    for (std::uint32_t s = 0; s < frames; ++s) {
        const auto f = make_frame(phase_uplink, s);
        const std::int64_t t0 = now_ns();
        write_all(peers_.front().fd, f.data(), f.size());
        pump(t0 + 500 * ns_per_ms, [this, s] {
            return bus_side_.has(phase_uplink, s) &&
                   std::all_of(peers_.begin() + 1, peers_.end(),
                               [s](const Peer& p) { return !p.open || p.in.has(phase_uplink, s); });
        });
        for (const Arrival& a : bus_side_.arrivals) {
            if (a.phase == phase_uplink && a.seq == s) delay.push_back(to_ms(a.t_ns - t0));
        }
        for (auto p = peers_.begin() + 1; p != peers_.end(); ++p) {
            for (const Arrival& a : p->in.arrivals) {
                if (a.phase == phase_uplink && a.seq == s) echo.push_back(to_ms(a.t_ns - t0));
            }
        }
        pump(t0 + (80 + static_cast<std::int64_t>(random() % 61)) * ns_per_ms);
    }
    Integrity integrity;
    integrity.add(bus_side_, phase_uplink, static_cast<std::uint32_t>(frames));
    Integrity echoed;
    for (auto p = peers_.begin() + 1; p != peers_.end(); ++p)
        echoed.add(p->in, phase_uplink, static_cast<std::uint32_t>(frames));
    // The sender gets no copy of its own frames.
    const std::int64_t own = static_cast<std::int64_t>(peers_.front().in.count(phase_uplink));
    const Summary d = summarise(delay);
    const Summary e = summarise(echo);
    put("uplink.p50", d.p50);
    put("uplink.max", d.max);
    put("uplink.min", d.min);
    put("uplink.faults", static_cast<double>(integrity.faults()));
    put("echo.p50", e.p50);
    put("echo.max", e.max);
    put("echo.faults", static_cast<double>(echoed.faults() + own));
    note("client->bus, single frames 80..140 ms apart (50 ms pacing)",
         "p50 " + fixed(d.p50) + "  max " + fixed(d.max) + " ms (min " + fixed(d.min) + "); " +
             integrity.text() + "; echo to the other " + std::to_string(peers_.size() - 1) +
             " clients p50 " + fixed(e.p50) + " max " + fixed(e.max) + " ms, " + echoed.text() +
             ", " + std::to_string(own) + " back to the sender");
}

void Bench::noise() {
    const Summary w = summarise(wake_lateness_ms_);
    put("noise.p50", w.p50);
    put("noise.p99", w.p99);
    put("noise.max", w.max);
    note("bench's own timer wake-up lateness (noise floor)",
         "p50 " + fixed(w.p50) + "  p99 " + fixed(w.p99) + "  max " + fixed(w.max) + " ms over " +
             std::to_string(w.n) + " waits; load average " + load_average() + "; " +
             std::to_string(stamped_reads_) + " kernel-stamped client reads");
}

}  // namespace quillon::bench
