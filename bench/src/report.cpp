#include "report.h"

#include <algorithm>
#include <string>

namespace tovlink::bench {
namespace {

constexpr double k_median_tolerance = 0.10;
constexpr double k_p99_spread_ms = 2.0;
constexpr double k_idle_core_share = 0.01;
constexpr double k_connect_margin_ms = 50.0;

const char *verdict(bool met) {
  return met ? "met" : "MISSED";
}

std::string json_string(const std::string &text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) quoted += c;
  }
  return quoted + "\"";
}

void print_summary_json(std::FILE *out, const summary &s) {
  std::fprintf(out,
               "{\"count\": %zu, \"median_ms\": %.4f, \"p99_ms\": %.4f, \"mean_ms\": %.4f, "
               "\"min_ms\": %.4f, \"max_ms\": %.4f}",
               s.count, s.median_ms, s.p99_ms, s.mean_ms, s.min_ms, s.max_ms);
}

void print_exchange_rows(std::FILE *out, const report &figures) {
  std::fprintf(out, "%-46s %8s %8s %8s %8s %9s %6s\n", "Exchange latency (ms)", "median", "p99",
               "floor", "med/flr", "p99-med", "fails");
  for (const auto &e : figures.exchanges) {
    std::fprintf(out, "  %-44s %8.3f %8.3f %8.3f %8.3f %9.3f %6zu\n", e.name.c_str(),
                 e.latency.median_ms, e.latency.p99_ms, e.floor_ms(),
                 e.latency.median_ms / e.floor_ms(), e.latency.p99_ms - e.latency.median_ms,
                 e.failures);
  }
  std::fprintf(out, "  %-44s %8.3f\n", "floor, computed (4 passes of 1 ms)",
               figures.floor.computed_ms);
  std::fprintf(out, "  %-44s %8.3f %8.3f\n", "floor, measured (passes cost only the sleep)",
               figures.floor.measured.median_ms, figures.floor.measured.p99_ms);
  std::fprintf(out, "  %-44s %8.3f %8.3f\n", "raw pty, blocking I/O, no library",
               figures.raw_baseline.median_ms, figures.raw_baseline.p99_ms);
}

void print_other_rows(std::FILE *out, const report &figures) {
  const auto &idle = figures.idle;
  std::fprintf(out, "\nIdle connection, %.1f s: process %.3f %% of one core", idle.seconds,
               idle.process_core_share * 100);
  if (idle.worker_found) {
    std::fprintf(out, ", I/O worker %.3f %%, %.1f passes/s", idle.worker_core_share * 100,
                 idle.passes_per_second);
  }
  std::fprintf(out, "\n  idle floor: a thread that only wakes every 1 ms costs %.3f %% here",
               idle.bare_pacing_core_share * 100);
  const auto &stream = figures.stream;
  std::fprintf(out,
               "\nReply stream: %zu of %zu bytes in %.3f s = %.1f kB/s (floor %.1f kB/s: %g bytes "
               "per two passes); %zu calls, %zu failed\n",
               stream.received, stream.bytes, stream.seconds, stream.bytes_per_second() / 1000,
               k_stream_floor_bytes_per_second / 1000, k_chunk_bytes, stream.calls,
               stream.failed_calls);
  const auto &connect = figures.connect;
  std::fprintf(out, "Connect: median %.1f ms of %zu (", connect.duration.median_ms,
               connect.duration.count);
  for (std::size_t i = 0; i < connect.samples_ms.size(); ++i)
    std::fprintf(out, "%s%.1f", i == 0 ? "" : ", ", connect.samples_ms[i]);
  std::fprintf(out, "); floor %.1f ms = 3500 ms of pauses + 4 exchanges of 4 ms\n",
               connect.floor_ms);
}

void print_verdicts(std::FILE *out, const target_verdicts &v) {
  std::fprintf(out, "\nTargets\n");
  std::fprintf(out, "  median within 10%% of the floor     worst %.3f x      %s\n",
               v.worst_median_over_floor, verdict(v.median_met));
  std::fprintf(out, "  p99 within 2 ms of the median      worst +%.3f ms   %s\n",
               v.worst_p99_over_median_ms, verdict(v.p99_met));
  std::fprintf(out, "  idle under 1%% of one core          %.3f %%          %s\n",
               v.idle_core_share * 100, verdict(v.idle_met));
  std::fprintf(out, "  connect within 50 ms of its floor  %+.1f ms         %s\n",
               v.connect_over_floor_ms, verdict(v.connect_met));
}

}  // namespace

target_verdicts judge(const report &figures) {
  target_verdicts v;
  for (const auto &e : figures.exchanges) {
    v.worst_median_over_floor =
        std::max(v.worst_median_over_floor, e.latency.median_ms / e.floor_ms());
    v.worst_p99_over_median_ms =
        std::max(v.worst_p99_over_median_ms, e.latency.p99_ms - e.latency.median_ms);
  }
  v.idle_core_share = figures.idle.process_core_share;
  v.connect_over_floor_ms = figures.connect.duration.median_ms - figures.connect.floor_ms;
  v.median_met = v.worst_median_over_floor <= 1.0 + k_median_tolerance;
  v.p99_met = v.worst_p99_over_median_ms <= k_p99_spread_ms;
  v.idle_met = v.idle_core_share < k_idle_core_share;
  v.connect_met = v.connect_over_floor_ms <= k_connect_margin_ms;
  return v;
}

void print_table(std::FILE *out, const report &figures) {
  const auto &m = figures.machine;
  std::fprintf(out, "tovlink-bench: %zu exchanges per kind, %.0f s idle, %zu connect(s)%s\n",
               figures.used.exchanges, figures.used.idle_seconds, figures.used.connects,
               figures.used.quick ? " (quick)" : "");
  std::fprintf(out, "machine: %u cores, %s, %s\nload average before: %s, after: %s\n\n", m.cores,
               m.cpu_model.c_str(), m.kernel.c_str(), m.load_before.c_str(), m.load_after.c_str());
  print_exchange_rows(out, figures);
  print_other_rows(out, figures);
  print_verdicts(out, judge(figures));
  std::fprintf(out, "\nrun took %.1f s\n", figures.run_seconds);
}

void print_json(std::FILE *out, const report &figures) {
  const auto &m = figures.machine;
  std::fprintf(out, "{\n  \"machine\": {\"cores\": %u, \"cpu_model\": %s, \"kernel\": %s, ",
               m.cores, json_string(m.cpu_model).c_str(), json_string(m.kernel).c_str());
  std::fprintf(out, "\"load_before\": %s, \"load_after\": %s},\n",
               json_string(m.load_before).c_str(), json_string(m.load_after).c_str());
  std::fprintf(out, "  \"exchanges_per_kind\": %zu, \"quick\": %s,\n", figures.used.exchanges,
               figures.used.quick ? "true" : "false");
  std::fprintf(out, "  \"exchanges\": [\n");
  for (std::size_t i = 0; i < figures.exchanges.size(); ++i) {
    const auto &e = figures.exchanges[i];
    std::fprintf(
        out,
        "    {\"name\": %s, \"wire\": %s, \"floor_ms\": %.4f, \"failures\": %zu, \"latency\": ",
        json_string(e.name).c_str(), json_string(e.wire).c_str(), e.floor_ms(), e.failures);
    print_summary_json(out, e.latency);
    std::fprintf(out, "}%s\n", i + 1 < figures.exchanges.size() ? "," : "");
  }
  std::fprintf(
      out, "  ],\n  \"floor\": {\"computed_ms\": %.4f, \"measured\": ", figures.floor.computed_ms);
  print_summary_json(out, figures.floor.measured);
  std::fprintf(out, "},\n  \"raw_baseline\": ");
  print_summary_json(out, figures.raw_baseline);
  const auto &idle = figures.idle;
  std::fprintf(out,
               ",\n  \"idle\": {\"seconds\": %.3f, \"process_core_share\": %.6f, "
               "\"worker_found\": %s, \"worker_core_share\": %.6f, \"passes_per_second\": %.2f, "
               "\"bare_pacing_core_share\": %.6f},\n",
               idle.seconds, idle.process_core_share, idle.worker_found ? "true" : "false",
               idle.worker_core_share, idle.passes_per_second, idle.bare_pacing_core_share);
  const auto &stream = figures.stream;
  std::fprintf(out,
               "  \"stream\": {\"bytes\": %zu, \"received\": %zu, \"seconds\": %.4f, "
               "\"bytes_per_second\": %.1f, \"floor_bytes_per_second\": %.1f, \"calls\": %zu, "
               "\"failed_calls\": %zu},\n",
               stream.bytes, stream.received, stream.seconds, stream.bytes_per_second(),
               k_stream_floor_bytes_per_second, stream.calls, stream.failed_calls);
  std::fprintf(out, "  \"connect\": {\"floor_ms\": %.1f, \"duration\": ", figures.connect.floor_ms);
  print_summary_json(out, figures.connect.duration);
  auto v = judge(figures);
  std::fprintf(out,
               "},\n  \"targets\": {\"worst_median_over_floor\": %.4f, \"median_met\": %s, "
               "\"worst_p99_over_median_ms\": %.4f, \"p99_met\": %s, \"idle_core_share\": %.6f, "
               "\"idle_met\": %s, \"connect_over_floor_ms\": %.2f, \"connect_met\": %s},\n",
               v.worst_median_over_floor, v.median_met ? "true" : "false",
               v.worst_p99_over_median_ms, v.p99_met ? "true" : "false", v.idle_core_share,
               v.idle_met ? "true" : "false", v.connect_over_floor_ms,
               v.connect_met ? "true" : "false");
  std::fprintf(out, "  \"run_seconds\": %.1f\n}\n", figures.run_seconds);
}

}  // namespace tovlink::bench
