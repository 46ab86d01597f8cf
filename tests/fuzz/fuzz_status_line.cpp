// Fuzz target: the status-line parser on arbitrary reply bytes.  Whatever it
// reads, it may only ever store into the telemetry cache.
#include <cstddef>
#include <cstdint>

#include "c_api_seams.h"
#include "protocol/status_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  tovlink::parse_status(data, size);
  return 0;
}
