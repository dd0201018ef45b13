#include "bench/run.hpp"

#include <cstddef>
#include <cstdio>

#include "bench/bench.hpp"
#include "bench/process_figures.hpp"

namespace quillon::bench {

// Every measurement of one side, each process a fresh one: the long-lived one
// with 1, 10 and 100 clients, then a few bare starts, then one process for
// each of the "connected and served" figures.
void run_side(Side side, const Options& o, int run, bool last_run) {
    const std::string label =
        std::string(side_name(side)) + " run " + std::to_string(run) + "/" + std::to_string(o.runs);
    Bench bench(side, side == Side::quillon ? o.quillon : o.ser2net, label);
    if (!bench.open()) return;
    const bool quillon = side == Side::quillon;
    const std::size_t latency_frames = o.quick ? 60 : 200;
    const double cpu_seconds = o.quick ? 3.0 : 10.0;
    const std::size_t mqtt_frames = o.quick ? 100 : 300;
    if (o.mqtt_only) {
        if (quillon && !o.mosquitto.empty()) bench.mqtt(o.mosquitto, mqtt_frames, cpu_seconds);
        bench.close();
        return;
    }
    const auto step = [&bench](bool ok) {
        if (!ok || !bench.alive()) {
            std::fprintf(stderr, "quillon_bench: %s: stopping this process early\n",
                         side_name(bench.side()));
            return false;
        }
        return true;
    };

    if (bench.launch()) {
        std::printf("%s: %s (pid %d), TCP port %u, bus on %s; load average %s\n", label.c_str(),
                    side == Side::quillon ? o.quillon.c_str() : o.ser2net.c_str(),
                    static_cast<int>(bench.pid()), static_cast<unsigned>(bench.port()),
                    bench.pty_name().c_str(), load_average().c_str());
        std::fflush(stdout);
        [&] {
            if (!step(bench.connect_peers(1))) return;
            bench.latency(latency_frames);
            if (!step(bench.connect_peers(10))) return;
            bench.latency(latency_frames);
            bench.idle_cpu(cpu_seconds);
            if (quillon) {
                bench.pacing(true, 30);
                bench.pacing(false, 30);
                bench.uplink(o.quick ? 10 : 20);
            }
            if (!step(bench.connect_peers(100))) return;
            bench.latency(latency_frames);
            bench.burst(50);
            if (quillon) {
                bench.pacing_under_burst(false);
                bench.pacing_under_burst(true);
            }
            if (!step(bench.sync_peers())) return;
            bench.load_cpu(cpu_seconds, 100);
            bench.peak_memory("hwm");
            if (quillon) bench.churn(o.quick ? 2000 : 10000);
            if (quillon && last_run && o.soak_minutes > 0 && step(bench.sync_peers()))
                bench.soak(o.soak_minutes, 100);
        }();
    }
    bench.stop_process();
    // The same bus to clients over TLS, on a process of its own.
    if (quillon && bench.launch(Extra::tls)) {
        [&] {
            if (!step(bench.connect_peers(1))) return;
            bench.latency(latency_frames);
            if (!step(bench.connect_peers(100))) return;
            bench.latency(latency_frames);
            if (!step(bench.sync_peers())) return;
            bench.load_cpu(cpu_seconds, 100);
        }();
        bench.stop_process();
    }
    // The plain run's 100 clients again, with browsers watching the web
    // monitor, on a process of its own.
    if (quillon && bench.launch(Extra::web)) {
        [&] {
            if (!step(bench.connect_peers(100))) return;
            if (!step(bench.connect_browsers(10))) return;
            if (!step(bench.sync_peers())) return;
            bench.latency(latency_frames);
            if (!step(bench.sync_peers())) return;
            bench.load_cpu(cpu_seconds, 100);
        }();
        bench.stop_process();
    }
    // The bus to an MQTT subscriber, and the CPU with MQTT and without, on processes of their own.
    if (quillon && !o.mosquitto.empty()) bench.mqtt(o.mosquitto, mqtt_frames, cpu_seconds);
    for (int i = 0; i < 4; ++i) {
        if (bench.launch()) bench.stop_process();
    }
    for (const std::size_t total : {std::size_t{100}, std::size_t{1000}}) {
        if (bench.launch()) bench.serve(total);
        bench.stop_process();
    }
    bench.noise();
    bench.close();
}

}  // namespace quillon::bench
