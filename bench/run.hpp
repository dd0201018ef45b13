// One run of one gateway: every measurement, in order, each process a fresh one.
#pragma once

#include <string>

#include "bench/figures.hpp"

#ifndef QUILLON_PROGRAM_PATH
#define QUILLON_PROGRAM_PATH "quillon"
#endif

namespace quillon::bench {

struct Options {
    bool quick = false;
    int runs = 1;
    int soak_minutes = 0;
    std::string quillon = QUILLON_PROGRAM_PATH;
    std::string ser2net;                            // empty: not compared
    std::string mosquitto = "/usr/sbin/mosquitto";  // empty: no MQTT figures
    bool mqtt_only = false;
};

void run_side(Side side, const Options& o, int run, bool last_run);

}  // namespace quillon::bench
