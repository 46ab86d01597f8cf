// The floor measured: the exchange loop run against a stand-in for the I/O
// worker whose passes cost nothing but their pacing.  It keeps the worker's
// four stages (take the request, write it, read the reply, queue it), its
// try-locks and its 1 ms grid, and the host's 1 ms reply polls; the robot
// answers inside the write, so no device or terminal time is counted.
#pragma once

#include "bench.h"

namespace tovlink::bench {

summary measure_floor_exchanges(std::size_t exchanges);

// The idle floor: the share of one core that a thread costs when it does
// nothing but wake on the worker's 1 ms grid for `seconds`.
double measure_bare_pacing_core_share(double seconds);

}  // namespace tovlink::bench
