// Telemetry getters: ask for a fresh status line, then read the cache it
// refreshed.
#include <cstring>

#include "api/operation_frame.h"
#include "api/operations.h"
#include "frame/diagnostics.h"

namespace tovlink::ops {
namespace {

// After the connection and argument checks: exchange "#140" and, when it
// succeeded, hand out the cached field it may have refreshed.
uint32_t refresh_and_read(session &s, int32_t *out, const int32_t &cached,
                          char (*reply)[k_line_buffer_size] = nullptr) {
  if (transact(s, "#140", reply) != TOVLINK_OK) return settle(s, TOVLINK_ERR_EXCHANGE);
  if (out != nullptr) *out = cached;
  return TOVLINK_OK;
}

}  // namespace

uint32_t get_value(session &s, int32_t *out, int32_t telemetry_cache::*field) {
  if (!begin_operation(s)) return s.last_error;
  if (out == nullptr) return reject_argument(s);
  return refresh_and_read(s, out, s.telemetry.*field);
}

uint32_t get_motor_position(session &s, int32_t motor, int32_t *out) {
  if (!begin_operation(s)) return s.last_error;
  if (out == nullptr || !is_motor(motor)) return reject_argument(s);
  return refresh_and_read(s, out, s.telemetry.motor_position[motor - 1]);
}

uint32_t get_motor_positions(session &s, int32_t *const (&outs)[k_motor_count]) {
  if (!begin_operation(s)) return s.last_error;
  for (int motor = 0; motor < k_motor_count; ++motor) {
    if (outs[motor] != nullptr) *outs[motor] = s.telemetry.motor_position[motor];
  }
  return TOVLINK_OK;
}

uint32_t read_status_line(session &s, char (&reply)[k_line_buffer_size]) {
  std::memset(reply, 0, sizeof reply);
  if (!begin_operation(s)) return s.last_error;
  return refresh_and_read(s, nullptr, s.telemetry.sensor_value, &reply);
}

}  // namespace tovlink::ops
