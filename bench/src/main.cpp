// tovlink-bench: exchange latency against the floor the worker's pacing
// allows, the cost of an idle connection, reply-stream throughput and connect
// time, measured through the shared library against the virtual robot.
//
// The library writes its diagnostic lines on standard error and its time-out
// line on standard output; the bench moves the latter to standard error too,
// so its own standard output carries nothing but the table (or the JSON).
#include <tovlink.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "api_measurements.h"
#include "bench.h"
#include "machine.h"
#include "pass_model.h"
#include "raw_baseline.h"
#include "report.h"
#include "tovlink_sim/virtual_robot.hpp"

namespace {

using namespace tovlink::bench;

void progress(const char *step) {
  std::fprintf(stderr, "tovlink-bench: %s\n", step);
  std::fflush(stderr);
}

// Standard output for the report; the process's own standard output then
// goes to standard error.
std::FILE *take_report_output() {
  std::fflush(stdout);
  int report_fd = dup(STDOUT_FILENO);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  return fdopen(report_fd, "w");
}

void measure_connects(const std::string &port, report &figures, open_connection &kept) {
  for (std::size_t i = 0; i < figures.used.connects; ++i) {
    if (kept.handle != nullptr) tovlink_end(kept.handle);
    kept = connect_timed(port);
    figures.connect.samples_ms.push_back(kept.connect_ms);
  }
  figures.connect.duration = summarize(figures.connect.samples_ms);
}

void measure_against_robot(report &figures) {
  tovlink::sim::virtual_robot robot;
  robot.start();
  progress("raw pseudo-terminal baseline");
  figures.raw_baseline = measure_raw_exchanges(robot.slave_path(), figures.used.exchanges);
  progress("floor of the pacing (pass model)");
  figures.floor.measured = measure_floor_exchanges(figures.used.exchanges);
  progress("connect");
  open_connection connection;
  measure_connects(robot.slave_path(), figures, connection);
  progress("exchange latency");
  figures.exchanges = measure_exchanges(connection.handle, figures.used.exchanges);
  progress("idle connection");
  figures.idle = measure_idle(connection, figures.used.idle_seconds);
  tovlink_end(connection.handle);
  robot.stop();
  progress("idle floor (a thread that only wakes every 1 ms)");
  figures.idle.bare_pacing_core_share = measure_bare_pacing_core_share(figures.used.idle_seconds);
}

report run(const settings &used) {
  report figures;
  figures.used = used;
  figures.machine = {online_cores(), cpu_model(), kernel_release(), load_average(), {}};
  auto start = bench_clock::now();
  measure_against_robot(figures);
  progress("reply stream");
  figures.stream = measure_stream(used.stream_bytes);
  figures.machine.load_after = load_average();
  figures.run_seconds = elapsed_ms(start) / 1000.0;
  return figures;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{
      "Exchange latency, idle cost, stream throughput and connect time of TovLinkLib "
      "against the virtual robot"};
  settings used;
  bool json = false;
  app.add_flag("--json", json, "Print the figures as JSON instead of a table");
  app.add_flag("--quick", used.quick, "Short run: 200 exchanges per kind, 2 s idle, one connect");
  app.add_option("--exchanges", used.exchanges, "Exchanges per kind")->check(CLI::PositiveNumber);
  app.add_option("--idle-seconds", used.idle_seconds, "Length of the idle measurement")
      ->check(CLI::PositiveNumber);
  CLI11_PARSE(app, argc, argv);
  if (used.quick) {
    if (app.count("--exchanges") == 0) used.exchanges = 200;
    if (app.count("--idle-seconds") == 0) used.idle_seconds = 2.0;
    used.connects = 1;
  }

  std::FILE *out = take_report_output();
  if (out == nullptr) {
    std::perror("tovlink-bench: standard output");
    return 1;
  }
  try {
    report figures = run(used);
    if (json) {
      print_json(out, figures);
    } else {
      print_table(out, figures);
    }
  } catch (const std::exception &error) {
    std::fprintf(stderr, "tovlink-bench: %s\n", error.what());
    return 1;
  }
  std::fclose(out);
  return 0;
}
