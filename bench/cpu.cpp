// What the gateway's process costs in CPU and wake-ups: idle with clients, and
// with bus frames at a steady rate to them (and to browsers, when watched).
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench.hpp"
#include "bench/clock.hpp"
#include "bench/process_figures.hpp"

namespace quillon::bench {

void Bench::idle_cpu(double seconds) {
    pump(now_ns() + 200 * ns_per_ms);
    const CpuSample a = cpu_sample(pid_);
    pump(a.t_ns + static_cast<std::int64_t>(seconds * 1e9));
    const CpuSample b = cpu_sample(pid_);
    const CpuShare c = cpu_share(a, b);
    put("idle.cpu", c.sched_pct);
    put("idle.cpu_stat", c.stat_pct);
    put("idle.wakeups", c.switches_per_s);
    put("idle.slices", c.slices_per_s);
    note("idle, " + std::to_string(peers_.size()) + " clients, " + fixed(seconds, 0) + " s",
         fixed(c.sched_pct, 3) + " % of a core by schedstat (" + fixed(c.stat_pct) +
             " % by /proc stat ticks); " + fixed(c.switches_per_s, 1) + " context switches/s, " +
             fixed(c.slices_per_s, 1) + " schedstat timeslices/s");
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
    put("load.cpu", c.sched_pct);
    put("load.cpu_stat", c.stat_pct);
    put("load.p50", l.p50);
    put("load.p99", l.p99);
    put("load.faults", static_cast<double>(integrity.faults()));
    std::string watched;
    if (!browsers_.empty()) {
        // The browsers are served after the clients: their last rows may still be on the way.
        const auto rows = [](const Browser& w) {
            return w.in.rows_by_phase[phase_load - phase_sync];
        };
        pump(now_ns() + 2 * ns_per_s, [&] {
            return std::all_of(browsers_.begin(), browsers_.end(), [&](const Browser& w) {
                return !w.open || rows(w) >= static_cast<std::int64_t>(frames);
            });
        });
        std::int64_t fewest = INT64_MAX;
        std::int64_t most = 0;
        std::int64_t open = 0;
        for (const Browser& w : browsers_) {
            fewest = std::min(fewest, rows(w));
            most = std::max(most, rows(w));
            open += w.open ? 1 : 0;
        }
        put("browsers.rows_min", static_cast<double>(fewest));
        put("browsers.rows_max", static_cast<double>(most));
        put("browsers.frames", frames);
        // A browser gone, or one that got less than a row a frame, was not fed.
        put("browsers.faults",
            static_cast<double>(browsers_lost_ +
                                (fewest < static_cast<std::int64_t>(frames) ? 1 : 0)));
        watched = "; " + std::to_string(open) + " of " + std::to_string(browsers_.size()) +
                  " browsers open, each got " +
                  (fewest == most ? std::to_string(fewest)
                                  : std::to_string(fewest) + ".." + std::to_string(most)) +
                  " rows of " + std::to_string(frames) + " frames";
    }
    note("CPU, " + std::to_string(peers_.size()) + " clients, " + std::to_string(rate) +
             " frames/s, " + fixed(seconds, 0) + " s",
         fixed(c.sched_pct) + " % of a core by schedstat (" + fixed(c.stat_pct, 1) +
             " % by stat ticks); latency p50 " + fixed(l.p50) + " p99 " + fixed(l.p99) + " max " +
             fixed(l.max) + " ms; " + integrity.text() + watched);
}

}  // namespace quillon::bench
