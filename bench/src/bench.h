// Shared pieces of tovlink-bench: settings, the figures each measurement
// produces, and the pass arithmetic the figures are held against.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace tovlink::bench {

using bench_clock = std::chrono::steady_clock;

// The worker's pacing: one pass per millisecond.  In a loop of back-to-back
// exchanges a request waits for four passes: the one that takes it from the
// send queue, the next that writes it, the next that reads the reply (the
// robot answers between passes) and the next that queues it for the host.
// The host's 1 ms polls start with the request, so they fall just after that
// fourth pass.  That is the floor no pacing-preserving change can beat.
inline constexpr double k_pass_ms = 1.0;
inline constexpr int k_passes_per_exchange = 4;
// A received chunk is read on one pass and queued on the next.
inline constexpr double k_chunk_bytes = 128.0;
inline constexpr double k_stream_floor_bytes_per_second = k_chunk_bytes / (2 * k_pass_ms) * 1000.0;
// Connect's fixed pauses (500 ms before the link line, 3000 ms after) and its
// four exchanges: R,1 / GDH / E,0 / I.
inline constexpr double k_connect_pauses_ms = 3500.0;
inline constexpr int k_connect_exchanges = 4;

struct settings {
  std::size_t exchanges = 1000;  // per exchange kind
  double idle_seconds = 10.0;
  std::size_t connects = 3;
  std::size_t stream_bytes = 100 * 1024;
  bool quick = false;
};

double elapsed_ms(bench_clock::time_point since);

struct summary {
  std::size_t count = 0;
  double median_ms = 0;
  double p99_ms = 0;
  double mean_ms = 0;
  double min_ms = 0;
  double max_ms = 0;
};
summary summarize(std::vector<double> samples_ms);

struct exchange_figures {
  std::string name;
  std::string wire;
  int exchanges_per_call = 1;
  summary latency;
  std::size_t failures = 0;
  double floor_ms() const { return exchanges_per_call * k_passes_per_exchange * k_pass_ms; }
};

struct floor_figures {
  double computed_ms = k_passes_per_exchange * k_pass_ms;
  summary measured;
};

struct idle_figures {
  double seconds = 0;
  bool worker_found = false;
  double worker_core_share = 0;   // worker thread CPU / wall time
  double process_core_share = 0;  // whole process (robot thread included) / wall time
  double passes_per_second = 0;   // the worker's sleeps per second
  // A thread that only wakes on the same 1 ms grid, measured just after.
  double bare_pacing_core_share = 0;
};

struct stream_figures {
  std::size_t bytes = 0;
  std::size_t received = 0;
  double seconds = 0;
  std::size_t calls = 0;
  std::size_t failed_calls = 0;
  double bytes_per_second() const {
    return seconds > 0 ? static_cast<double>(received) / seconds : 0;
  }
};

struct connect_figures {
  std::vector<double> samples_ms;
  summary duration;
  double floor_ms = k_connect_pauses_ms + k_connect_exchanges * k_passes_per_exchange * k_pass_ms;
};

struct machine_figures {
  unsigned cores = 0;
  std::string cpu_model;
  std::string kernel;
  std::string load_before;
  std::string load_after;
};

struct report {
  settings used;
  machine_figures machine;
  summary raw_baseline;
  floor_figures floor;
  std::vector<exchange_figures> exchanges;
  idle_figures idle;
  stream_figures stream;
  connect_figures connect;
  double run_seconds = 0;
};

}  // namespace tovlink::bench
