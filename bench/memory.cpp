// What the gateway's process holds in memory: its peak, and over a long soak.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench.hpp"
#include "bench/clock.hpp"
#include "bench/process_figures.hpp"

namespace quillon::bench {

void Bench::peak_memory(const std::string& key) {
    const std::int64_t hwm = status_kb(pid_, "VmHWM:");
    const std::int64_t rss = status_kb(pid_, "VmRSS:");
    put(key, megabytes(hwm));
    note("peak memory (VmHWM) with " + std::to_string(peers_.size()) + " clients",
         fixed(megabytes(hwm), 1) + " MB (" + mib(hwm) + " MiB; VmRSS now " + mib(rss) + " MiB)");
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
        note("soak minute " + std::to_string(m),
             "VmRSS " + mib(rss.back()) + " MiB, latency p99 " + fixed(l.p99) + " ms");
    }
    clear_arrivals();
    std::string samples;
    for (const std::int64_t kb : rss)
        samples += (samples.empty() ? "" : " ") + mib(kb);
    const std::string what = "soak, " + std::to_string(peers_.size()) + " clients, " +
                             std::to_string(rate) + " frames/s, " + std::to_string(minutes) +
                             " min";
    soak_rows.push_back(
        {what + ": VmRSS at minute 0, 1, ...",
         samples + " MiB; latency p99 at worst " + fixed(worst_p99) + " ms; " + integrity.text(),
         "all, in order", integrity.clean()});
    const bool complete = static_cast<int>(rss.size()) == minutes + 1;
    const std::int64_t drift = complete ? rss.back() - rss[2] : 0;
    soak_rows.push_back({what + ": flat",
                         complete ? "last minute " + signed_kib(drift) + " from the second"
                                  : "STOPPED after " + std::to_string(rss.size() - 1) + " minutes",
                         "last minute within 1 MiB of the second",
                         complete && std::llabs(drift) <= 1024});
}

}  // namespace quillon::bench
