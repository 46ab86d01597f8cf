// Telemetry getters: ask for a fresh status line, then read the cache it
// refreshed.
#include "api/operation_frame.h"
#include "frame/diagnostics.h"
#include "protocol/status_line.h"

using namespace tovlink;

namespace {

// After the connection and argument checks: exchange "#140" and, when it
// succeeded, hand out the cached field it may have refreshed.
uint32_t refresh_and_read(uint32_t *handle, int32_t *out, const int32_t &cached) {
  char command[32];
  format_command(command, sizeof command, "#140");
  uint32_t result = exchange_command(handle, command);
  if (result == TOVLINK_OK) *out = cached;
  return result;
}

uint32_t read_fresh(uint32_t *handle, int32_t *out, const int32_t &cached) {
  if (!begin_operation(handle)) return g_last_error;
  if (out == nullptr) return reject_argument();
  return refresh_and_read(handle, out, cached);
}

}  // namespace

extern "C" {

TOVLINK_API uint32_t tovlink_get_sensor_value(uint32_t *handle, int32_t *out) {
  return read_fresh(handle, out, g_telemetry.sensor_value);
}

TOVLINK_API uint32_t tovlink_get_mic_value(uint32_t *handle, int32_t *out) {
  return read_fresh(handle, out, g_telemetry.mic_value);
}

TOVLINK_API uint32_t tovlink_get_mic_analog_value(uint32_t *handle, int32_t *out) {
  return read_fresh(handle, out, g_telemetry.mic_analog_value);
}

TOVLINK_API uint32_t tovlink_get_battery_value(uint32_t *handle, int32_t *out) {
  return read_fresh(handle, out, g_telemetry.battery_value);
}

TOVLINK_API uint32_t tovlink_get_motor_power(uint32_t *handle, int32_t *out) {
  return read_fresh(handle, out, g_telemetry.motor_power);
}

TOVLINK_API uint32_t tovlink_get_motor_position(uint32_t *handle, int32_t motor, int32_t *out) {
  if (!begin_operation(handle)) return g_last_error;
  if (out == nullptr || !is_motor(motor)) return reject_argument();
  return refresh_and_read(handle, out, g_telemetry.motor_position[motor - 1]);
}

TOVLINK_API uint32_t tovlink_get_motor_positions(uint32_t *handle, int32_t *out1, int32_t *out2,
                                                 int32_t *out3, int32_t *out4, int32_t *out5,
                                                 int32_t *out6, int32_t *out7) {
  if (!begin_operation(handle)) return g_last_error;
  int32_t *outs[k_motor_count] = {out1, out2, out3, out4, out5, out6, out7};
  for (int motor = 0; motor < k_motor_count; ++motor) {
    if (outs[motor] != nullptr) *outs[motor] = g_telemetry.motor_position[motor];
  }
  return TOVLINK_OK;
}

}  // extern "C"
