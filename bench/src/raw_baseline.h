// The same request and reply as the library's telemetry exchange, written and
// read straight on the robot's pseudo-terminal with blocking I/O: what the
// robot and the terminal cost without any pacing.
#pragma once

#include <string>

#include "bench.h"

namespace tovlink::bench {

summary measure_raw_exchanges(const std::string &port_path, std::size_t exchanges);

}  // namespace tovlink::bench
