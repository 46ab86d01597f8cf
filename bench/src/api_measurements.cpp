#include "api_measurements.h"

#include <tovlink.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

#include "stream_peer.h"
#include "worker_thread.h"

namespace tovlink::bench {
namespace {

using std::chrono::milliseconds;

constexpr int k_connect_attempts = 50;
constexpr milliseconds k_port_release_wait{20};
constexpr std::size_t k_warm_up_exchanges = 20;

struct exchange_kind {
  const char *name;
  const char *wire;
  int exchanges_per_call;
  std::function<uint32_t(uint32_t *)> call;
};

std::vector<exchange_kind> exchange_kinds() {
  return {
      {"telemetry getter (tovlink_get_battery_value)", "#140\\r", 1,
       [](uint32_t *handle) {
         int32_t battery = 0;
         return tovlink_get_battery_value(handle, &battery);
       }},
      {"motor command (tovlink_motor_set_pos)", "#132,1,090\\r\\r", 1,
       [](uint32_t *handle) { return tovlink_motor_set_pos(handle, 2, 90); }},
      {"text query (tovlink_who)", "#800\\r", 1,
       [](uint32_t *handle) {
         char reply[128] = {};
         return tovlink_who(handle, reply, sizeof reply);
       }},
      {"tovlink_motor_power_on (two exchanges)", "#130\\r, #133,9,0500\\r", 2,
       [](uint32_t *handle) { return tovlink_motor_power_on(handle, 500); }},
  };
}

exchange_figures measure_kind(uint32_t *handle, const exchange_kind &kind, std::size_t exchanges) {
  exchange_figures figures{kind.name, kind.wire, kind.exchanges_per_call, {}, 0};
  for (std::size_t i = 0; i < k_warm_up_exchanges; ++i) kind.call(handle);
  std::vector<double> samples;
  samples.reserve(exchanges);
  for (std::size_t i = 0; i < exchanges; ++i) {
    auto start = bench_clock::now();
    uint32_t result = kind.call(handle);
    samples.push_back(elapsed_ms(start));
    if (result != TOVLINK_OK) ++figures.failures;
  }
  figures.latency = summarize(std::move(samples));
  return figures;
}

// Receives the stream through text queries: each call sends "#800" (which
// the peer ignores once streaming) and collects reply lines until one ends a
// chunk.  The buffer starts zeroed and the stream has no zero bytes, so the
// bytes a call received are those up to the first zero.
void receive_stream(uint32_t *handle, stream_figures &figures) {
  std::vector<char> buffer(figures.bytes + 2 * stream_peer::k_line_bytes, '\0');
  auto start = bench_clock::now();
  while (figures.received < figures.bytes && figures.failed_calls < 10) {
    char *free_part = buffer.data() + figures.received;
    std::size_t free_size = buffer.size() - figures.received;
    uint32_t result = tovlink_who(handle, free_part, free_size);
    ++figures.calls;
    if (result != TOVLINK_OK) ++figures.failed_calls;
    figures.received += strnlen(free_part, free_size);
  }
  figures.seconds = elapsed_ms(start) / 1000.0;
}

}  // namespace

open_connection connect_timed(const std::string &port_path) {
  for (int attempt = 0; attempt < k_connect_attempts; ++attempt) {
    auto threads_before = current_threads();
    auto start = bench_clock::now();
    uint32_t *handle = tovlink_connect(port_path.c_str(), 115200);
    double took = elapsed_ms(start);
    if (handle != nullptr) {
      return {handle, new_thread(threads_before, current_threads()), took};
    }
    if (tovlink_get_lasterror() != TOVLINK_ERR_PORT_OPEN) break;
    std::this_thread::sleep_for(k_port_release_wait);
  }
  throw std::runtime_error("cannot connect to " + port_path);
}

std::vector<exchange_figures> measure_exchanges(uint32_t *handle, std::size_t exchanges) {
  std::vector<exchange_figures> all;
  for (const auto &kind : exchange_kinds()) all.push_back(measure_kind(handle, kind, exchanges));
  return all;
}

idle_figures measure_idle(const open_connection &connection, double seconds) {
  idle_figures figures;
  figures.seconds = seconds;
  figures.worker_found = connection.worker.has_value();
  pid_t worker = connection.worker.value_or(0);
  auto worker_cpu_before = figures.worker_found ? thread_cpu_ns(worker) : std::nullopt;
  auto sleeps_before = figures.worker_found ? voluntary_switches(worker) : std::nullopt;
  int64_t process_cpu_before = process_cpu_ns();
  auto start = bench_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  double wall_ns = elapsed_ms(start) * 1e6;
  figures.process_core_share = static_cast<double>(process_cpu_ns() - process_cpu_before) / wall_ns;
  auto worker_cpu_after = figures.worker_found ? thread_cpu_ns(worker) : std::nullopt;
  auto sleeps_after = figures.worker_found ? voluntary_switches(worker) : std::nullopt;
  if (worker_cpu_before && worker_cpu_after) {
    figures.worker_core_share =
        static_cast<double>(*worker_cpu_after - *worker_cpu_before) / wall_ns;
  } else {
    figures.worker_found = false;
  }
  if (sleeps_before && sleeps_after) {
    figures.passes_per_second =
        static_cast<double>(*sleeps_after - *sleeps_before) / (wall_ns / 1e9);
  }
  return figures;
}

stream_figures measure_stream(std::size_t bytes) {
  stream_peer peer(bytes);
  open_connection connection = connect_timed(peer.port_path());
  stream_figures figures;
  figures.bytes = bytes;
  receive_stream(connection.handle, figures);
  tovlink_end(connection.handle);
  return figures;
}

}  // namespace tovlink::bench
