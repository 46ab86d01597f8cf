// The robot's status line and the process-wide telemetry cache it refreshes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/session.h"

namespace tovlink {

// Values a complete status line carries.
inline constexpr int k_status_value_count = 12;

// The C API's cache: all zero at load and never reset (connect and end leave
// it as it is).
extern telemetry_cache &g_telemetry;

// Scans a reply against "S,%d,%d,M,%d,...,%d,P,%d,%d,%d,E" (after skipping
// four characters when "End," occurs anywhere in it), storing each value
// the moment it is read and stopping at the first mismatch.  A digit run
// beyond the 32-bit range is stored saturated.  Returns how many values were
// read (k_status_value_count for a complete line).
int parse_status(telemetry_cache &cache, const uint8_t *reply, std::size_t count);
// The same into the C API's cache.
void parse_status(const uint8_t *reply, std::size_t count);

}  // namespace tovlink
