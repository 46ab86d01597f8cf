// Measurements through the library's exported functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <sys/types.h>

#include "bench.h"

namespace tovlink::bench {

struct open_connection {
  uint32_t *handle = nullptr;
  std::optional<pid_t> worker;  // the connection's I/O thread
  double connect_ms = 0;
};

// Connects to `port_path`, retrying briefly while the port is still held by
// the connection just ended (the robot clears the exclusive flag when it sees
// the close).  Throws when no connection comes up.
open_connection connect_timed(const std::string &port_path);

std::vector<exchange_figures> measure_exchanges(uint32_t *handle, std::size_t exchanges);
idle_figures measure_idle(const open_connection &connection, double seconds);
// Connects to a streaming peer of its own and receives its reply stream.
stream_figures measure_stream(std::size_t bytes);

}  // namespace tovlink::bench
