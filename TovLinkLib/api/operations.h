// The robot operations on a session.  The C API's exports and the C++ API's
// Robot both run them; each starts by resetting the session's code and
// checking its connection, and settles on 0, 2, 3 or -1 as tovlink.h lists.
#pragma once

#include <cstdint>
#include <string_view>

#include "frame/session.h"
#include "tovlink/contract.hpp"
#include "protocol/line_exchange.h"

namespace tovlink::ops {

inline constexpr int32_t k_all_motors = all_motors;

// Telemetry: each exchanges "#140" and, when that succeeded, reads the field
// from the session's cache.
uint32_t get_value(session &s, int32_t *out, int32_t telemetry_cache::*field);
uint32_t get_motor_position(session &s, int32_t motor, int32_t *out);
// Reads the cached positions without an exchange; null outputs are skipped.
uint32_t get_motor_positions(session &s, int32_t *const (&outs)[k_motor_count]);
// Exchanges "#140" and hands back the reply line (zero-terminated).
uint32_t read_status_line(session &s, char (&reply)[k_line_buffer_size]);

// The query's command line as the contract lists it (without its "\r").
constexpr std::string_view query_line(Query which) {
  for (const QueryInfo &entry : queries) {
    if (entry.query == which) return entry.line;
  }
  return {};
}
// Text queries: sends the query's line with one "\r" and collects the reply
// into buffer.
uint32_t query(session &s, Query which, char *buffer, uint64_t size);

// Motor commands; angles are clamped per motor.
uint32_t motor_power_on(session &s, int32_t value);
uint32_t motor_power_off(session &s);
uint32_t motor_start(session &s);
uint32_t motor_set_pos(session &s, int32_t motor, int32_t angle);
uint32_t motor_set_pos_rel(session &s, int32_t motor);
uint32_t motor_pos_all(session &s, const int32_t (&angles)[k_motor_count]);
uint32_t motor_angle_time(session &s, int32_t motor, int32_t angle, int32_t time);
uint32_t motor_angle_time_rel(session &s, int32_t motor, int32_t time);
uint32_t motor_angle_multi_time(session &s, const int32_t (&angles)[k_motor_count], int32_t time);
uint32_t motor_adjust(session &s, int32_t motor, int32_t value);
// The angle a motor is sent for `angle` (motors 1-7, or 255 for all).
int32_t clamp_angle(int32_t motor, int32_t angle);

// LEDs, sound and voice.
uint32_t led_on(session &s, int32_t led);
uint32_t led_off(session &s, int32_t led);
uint32_t sound(session &s, int32_t first, int32_t second);
uint32_t voice_speed(session &s, int32_t speed);
uint32_t voice(session &s, const char *text);

}  // namespace tovlink::ops
