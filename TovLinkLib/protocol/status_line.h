// The robot's status line and the session's telemetry cache it refreshes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/session.h"

namespace tovlink {

// Values a complete status line carries.
inline constexpr int k_status_value_count = 12;

// Scans a reply against "S,%d,%d,M,%d,...,%d,P,%d,%d,%d,E" (after skipping
// four characters when "End," occurs anywhere in it), storing each value
// the moment it is read and stopping at the first mismatch.  A digit run
// beyond the 32-bit range is stored saturated.  Returns how many values were
// read (k_status_value_count for a complete line).
int parse_status(telemetry_cache &cache, const uint8_t *reply, std::size_t count);

}  // namespace tovlink
