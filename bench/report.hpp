// The report: the side-by-side table of both gateways' medians, their ratios
// and targets, and Quillon's figures that ser2net has nothing to compare with.
#pragma once

#include "bench/run.hpp"

namespace quillon::bench {

void print_comparison(const Options& o);
void print_quillon_alone();

}  // namespace quillon::bench
