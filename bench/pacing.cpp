// How the gateway paces what clients send towards the bus, alone and while
// bus frames go out to many clients.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench.hpp"
#include "bench/clock.hpp"
#include "bench/sockets.hpp"

namespace quillon::bench {

// The gaps between the paced frames the gateway wrote to the bus since t0.
void Bench::paced_gaps(const std::string& key, std::int64_t t0, std::size_t frames,
                       const std::string& what) {
    std::vector<double> gaps;
    std::vector<std::int64_t> out;
    for (const Arrival& a : bus_side_.arrivals) {
        if (a.phase == phase_pacing) out.push_back(a.t_ns);
    }
    for (std::size_t i = 1; i < out.size(); ++i) {
        gaps.push_back(to_ms(out[i] - out[i - 1]));
        if (trace_)
            std::fprintf(stderr, "%s %s %zu at %.3f gap %.3f\n", label_.c_str(), key.c_str(), i,
                         to_ms(out[i] - t0), gaps.back());
    }
    Integrity integrity;
    integrity.add(bus_side_, phase_pacing, static_cast<std::uint32_t>(frames));
    const Summary g = summarise(gaps);
    const Summary l =
        summarise(std::vector<double>(gaps.begin() + (gaps.empty() ? 0 : 1), gaps.end()));
    const double first_out = out.empty() ? -1.0 : to_ms(out.front() - t0);
    const double first_gap = gaps.empty() ? -1.0 : gaps.front();
    put(key + ".first_out", first_out);
    put(key + ".min", g.min);
    put(key + ".p50", g.p50);
    put(key + ".max", g.max);
    put(key + ".first_gap", first_gap);
    put(key + ".later_min", l.min);
    put(key + ".later_max", l.max);
    put(key + ".faults", static_cast<double>(integrity.faults()));
    note(what, "first frame out after " + fixed(first_out, 1) + " ms; gaps min " + fixed(g.min) +
                   "  p50 " + fixed(g.p50) + "  max " + fixed(g.max) + " ms; first gap " +
                   fixed(first_gap) + " ms, later gaps " + fixed(l.min) + ".." + fixed(l.max) +
                   " ms; " + integrity.text());
}

void Bench::pacing(bool slow, std::size_t frames) {
    command(slow ? "delay on" : "delay off");
    pump(now_ns() + 300 * ns_per_ms);
    clear_arrivals();
    const std::vector<std::uint8_t> bytes = make_frames(phase_pacing, frames);
    const std::int64_t t0 = now_ns();
    write_all(peers_.front().fd, bytes.data(), bytes.size());
    const std::int64_t per = (slow ? 60 : 15) * ns_per_ms;
    pump(t0 + static_cast<std::int64_t>(frames) * per + 2 * ns_per_s,
         [this, frames] { return bus_side_.count(phase_pacing) >= frames; });
    paced_gaps(slow ? "pace50" : "pace5", t0, frames,
               std::string("bus pacing, ") + (slow ? "50 ms" : "5 ms (delay off)") + ", " +
                   std::to_string(frames) + " frames from 1 client of " +
                   std::to_string(peers_.size()));
    if (!slow) {
        command("delay on");
        pump(now_ns() + 200 * ns_per_ms);
    }
}

// 30 frames from one client, paced at 50 ms, while 50 bus frames go out to
// every client: all at once as the client's frames are written, or one every
// 29 ms so that each gap of the paced run has some.
void Bench::pacing_under_burst(bool spread) {
    constexpr std::size_t frames = 30;
    constexpr std::uint32_t bus_frames = 50;
    pump(now_ns() + 100 * ns_per_ms);
    clear_arrivals();
    const std::vector<std::uint8_t> bytes = make_frames(phase_pacing, frames);
    std::vector<std::uint8_t> bus;
    const std::int64_t t0 = now_ns();
    write_all(peers_.front().fd, bytes.data(), bytes.size());
    for (std::uint32_t s = 0; s < bus_frames; ++s) {
        const auto f = make_frame(phase_burst, s);
        if (spread) {
            pump(t0 + s * 29 * ns_per_ms);
            write_bus(f);
        } else {
            bus.insert(bus.end(), f.begin(), f.end());
        }
    }
    if (!spread) write_bus(bus);
    pump(t0 + static_cast<std::int64_t>(frames) * 60 * ns_per_ms + 2 * ns_per_s, [this] {
        return bus_side_.count(phase_pacing) >= frames &&
               std::all_of(peers_.begin(), peers_.end(), [](const Peer& p) {
                   return !p.open || p.in.has(phase_burst, bus_frames - 1);
               });
    });
    Integrity delivered;
    for (const Peer& p : peers_)
        delivered.add(p.in, phase_burst, bus_frames);
    const std::string key = spread ? "pace_spread" : "pace_burst";
    put(key + ".bus_faults", static_cast<double>(delivered.faults()));
    paced_gaps(key, t0, frames,
               std::string("bus pacing, 50 ms, 30 frames from 1 client while 50 bus frames ") +
                   (spread ? "(one every 29 ms)" : "(at once)") + " go to " +
                   std::to_string(peers_.size()) + " clients: theirs " + delivered.text());
}

}  // namespace quillon::bench
