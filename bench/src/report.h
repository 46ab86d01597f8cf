// The run's figures as a table for people and as JSON for scripts, each with
// the targets judged.
#pragma once

#include <cstdio>

#include "bench.h"

namespace tovlink::bench {

struct target_verdicts {
  double worst_median_over_floor = 0;  // ratio, against the computed floor
  double worst_p99_over_median_ms = 0;
  double idle_core_share = 0;
  double connect_over_floor_ms = 0;
  bool median_met = false;
  bool p99_met = false;
  bool idle_met = false;
  bool connect_met = false;
};

target_verdicts judge(const report &figures);
void print_table(std::FILE *out, const report &figures);
void print_json(std::FILE *out, const report &figures);

}  // namespace tovlink::bench
