// The robot's status line and the process-wide telemetry cache it refreshes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovlink {

inline constexpr int k_motor_count = 7;

// All zero at load and never reset: connect and end leave it as it is.
struct telemetry_cache {
  int32_t sensor_value;
  int32_t mic_value;
  int32_t motor_position[k_motor_count];
  int32_t battery_value;
  int32_t motor_power;
  int32_t mic_analog_value;
};

extern telemetry_cache g_telemetry;

// Scans a reply against "S,%d,%d,M,%d,...,%d,P,%d,%d,%d,E" (after skipping
// four characters when "End," occurs anywhere in it), storing each value
// the moment it is read and stopping at the first mismatch.  A digit run
// beyond the 32-bit range is stored saturated.
void parse_status(const uint8_t *reply, std::size_t count);

}  // namespace tovlink
