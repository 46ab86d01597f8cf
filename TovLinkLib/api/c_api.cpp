// The flat C API: a thin facade over the session-based core.  It keeps the
// process-wide state its callers rely on (one current connection, one last
// error, diagnostics on the standard streams) in the C API's session, and
// stops every exception at its edge: nothing may unwind into a C caller.
#include <cstdio>
#include <cstring>

#include "api/c_api_state.h"
#include "api/operations.h"
#include "connection/connect.h"
#include "frame/diagnostics.h"
#include "transport/platform.h"

using namespace tovlink;

namespace {

// Settles a call that failed inside (an allocation refused, a thread not to
// be had) as a failed exchange, with its line as for any failure.
uint32_t contain_failure(session &s) noexcept {
  s.last_error = TOVLINK_ERR_EXCHANGE;
  try {
    log_last_error(s);
  } catch (...) {  // the line itself could not be printed
  }
  return TOVLINK_ERR_EXCHANGE;
}

// Runs one robot operation on the C API's session for a call given `handle`.
template <typename Operation>
uint32_t c_call(const uint32_t *handle, Operation operation) noexcept {
  session &s = c_api_session();
  s.call_handle = handle;
  try {
    return operation(s);
  } catch (...) {
    return contain_failure(s);
  }
}

// A connect that failed inside: whatever it opened is ended, the current
// connection before it stays current, and it reports the port as not opened.
void contain_connect_failure(session &s, serial_t *before, const char *port_name) noexcept {
  try {
    if (s.serial != nullptr && s.serial != before) end_session(s);
  } catch (...) {
  }
  s.serial = before;
  s.last_error = TOVLINK_ERR_PORT_OPEN;
  try {
    log_bilingual_line(s, &k_port_init_failed, port_name != nullptr ? port_name : "(null)");
  } catch (...) {
  }
}

constexpr uint64_t k_min_version_buffer = 8;

}  // namespace

extern "C" {

TOVLINK_API uint32_t *tovlink_connect(const char *port_name, int32_t baud) {
  session &s = c_api_session();
  serial_t *before = s.serial;
  try {
    if (!connect_session(s, port_name, baud)) return nullptr;
    return reinterpret_cast<uint32_t *>(s.serial);
  } catch (...) {
    contain_connect_failure(s, before, port_name);
    return nullptr;
  }
}

TOVLINK_API void tovlink_end(uint32_t *handle) {
  c_call(handle, [](session &s) {
    end_session(s);
    return s.last_error;
  });
}

TOVLINK_API uint32_t tovlink_get_lasterror(void) {
  session &s = c_api_session();
  try {
    if (s.last_error != TOVLINK_OK) log_last_error(s);
  } catch (...) {
  }
  return s.last_error;
}

TOVLINK_API uint32_t tovlink_get_sensor_value(uint32_t *handle, int32_t *out) {
  return c_call(handle,
                [&](session &s) { return ops::get_value(s, out, &telemetry_cache::sensor_value); });
}

TOVLINK_API uint32_t tovlink_get_mic_value(uint32_t *handle, int32_t *out) {
  return c_call(handle,
                [&](session &s) { return ops::get_value(s, out, &telemetry_cache::mic_value); });
}

TOVLINK_API uint32_t tovlink_get_mic_analog_value(uint32_t *handle, int32_t *out) {
  return c_call(handle, [&](session &s) {
    return ops::get_value(s, out, &telemetry_cache::mic_analog_value);
  });
}

TOVLINK_API uint32_t tovlink_get_battery_value(uint32_t *handle, int32_t *out) {
  return c_call(
      handle, [&](session &s) { return ops::get_value(s, out, &telemetry_cache::battery_value); });
}

TOVLINK_API uint32_t tovlink_get_motor_power(uint32_t *handle, int32_t *out) {
  return c_call(handle,
                [&](session &s) { return ops::get_value(s, out, &telemetry_cache::motor_power); });
}

TOVLINK_API uint32_t tovlink_get_motor_position(uint32_t *handle, int32_t motor, int32_t *out) {
  return c_call(handle, [&](session &s) { return ops::get_motor_position(s, motor, out); });
}

TOVLINK_API uint32_t tovlink_get_motor_positions(uint32_t *handle, int32_t *out1, int32_t *out2,
                                                 int32_t *out3, int32_t *out4, int32_t *out5,
                                                 int32_t *out6, int32_t *out7) {
  int32_t *const outs[k_motor_count] = {out1, out2, out3, out4, out5, out6, out7};
  return c_call(handle, [&](session &s) { return ops::get_motor_positions(s, outs); });
}

TOVLINK_API uint32_t tovlink_who(uint32_t *handle, char *buffer, uint64_t size) {
  return c_call(handle, [&](session &s) { return ops::query(s, Query::who, buffer, size); });
}

TOVLINK_API uint32_t tovlink_get_motorpower(uint32_t *handle, char *buffer, uint64_t size) {
  return c_call(handle,
                [&](session &s) { return ops::query(s, Query::motor_power, buffer, size); });
}

TOVLINK_API uint32_t tovlink_set_motorpower(uint32_t *handle, char *buffer, uint64_t size) {
  return c_call(handle,
                [&](session &s) { return ops::query(s, Query::motor_power_set, buffer, size); });
}

TOVLINK_API uint32_t tovlink_get_init(uint32_t *handle, char *buffer, uint64_t size) {
  return c_call(handle, [&](session &s) { return ops::query(s, Query::init, buffer, size); });
}

TOVLINK_API uint32_t tovlink_get_info(uint32_t *handle, char *buffer, uint64_t size) {
  return c_call(handle, [&](session &s) { return ops::query(s, Query::info, buffer, size); });
}

TOVLINK_API uint32_t tovlink_get_init_mic_range(uint32_t *handle, char *buffer, uint64_t size) {
  return c_call(handle,
                [&](session &s) { return ops::query(s, Query::init_mic_range, buffer, size); });
}

TOVLINK_API uint32_t tovlink_get_init_power_limit(uint32_t *handle, char *buffer, uint64_t size) {
  return c_call(handle,
                [&](session &s) { return ops::query(s, Query::init_power_limit, buffer, size); });
}

TOVLINK_API uint32_t tovlink_get_position(uint32_t *handle, char *buffer, uint64_t size) {
  return c_call(handle, [&](session &s) { return ops::query(s, Query::position, buffer, size); });
}

TOVLINK_API uint32_t tovlink_motor_power_on(uint32_t *handle, int32_t value) {
  return c_call(handle, [&](session &s) { return ops::motor_power_on(s, value); });
}

TOVLINK_API uint32_t tovlink_motor_power_off(uint32_t *handle) {
  return c_call(handle, [&](session &s) { return ops::motor_power_off(s); });
}

TOVLINK_API uint32_t tovlink_motor_start(uint32_t *handle) {
  return c_call(handle, [&](session &s) { return ops::motor_start(s); });
}

TOVLINK_API uint32_t tovlink_motor_set_pos(uint32_t *handle, int32_t motor, int32_t angle) {
  return c_call(handle, [&](session &s) { return ops::motor_set_pos(s, motor, angle); });
}

// `value` is not sent: the robot's relative form carries 0 in its angle field.
TOVLINK_API uint32_t tovlink_motor_set_pos_rel(uint32_t *handle, int32_t motor, int32_t value) {
  (void)value;
  return c_call(handle, [&](session &s) { return ops::motor_set_pos_rel(s, motor); });
}

TOVLINK_API uint32_t tovlink_motor_pos_all(uint32_t *handle, int32_t angle1, int32_t angle2,
                                           int32_t angle3, int32_t angle4, int32_t angle5,
                                           int32_t angle6, int32_t angle7) {
  const int32_t angles[k_motor_count] = {angle1, angle2, angle3, angle4, angle5, angle6, angle7};
  return c_call(handle, [&](session &s) { return ops::motor_pos_all(s, angles); });
}

TOVLINK_API uint32_t tovlink_motor_angle_time(uint32_t *handle, int32_t motor, int32_t angle,
                                              int32_t time) {
  return c_call(handle, [&](session &s) { return ops::motor_angle_time(s, motor, angle, time); });
}

// As with tovlink_motor_set_pos_rel, `value` is not sent.
TOVLINK_API uint32_t tovlink_motor_angle_time_rel(uint32_t *handle, int32_t motor, int32_t value,
                                                  int32_t time) {
  (void)value;
  return c_call(handle, [&](session &s) { return ops::motor_angle_time_rel(s, motor, time); });
}

TOVLINK_API uint32_t tovlink_motor_angle_multi_time(uint32_t *handle, int32_t angle1,
                                                    int32_t angle2, int32_t angle3, int32_t angle4,
                                                    int32_t angle5, int32_t angle6, int32_t angle7,
                                                    int32_t time) {
  const int32_t angles[k_motor_count] = {angle1, angle2, angle3, angle4, angle5, angle6, angle7};
  return c_call(handle, [&](session &s) { return ops::motor_angle_multi_time(s, angles, time); });
}

TOVLINK_API uint32_t tovlink_motor_adjust(uint32_t *handle, int32_t motor, int32_t value) {
  return c_call(handle, [&](session &s) { return ops::motor_adjust(s, motor, value); });
}

TOVLINK_API uint32_t tovlink_led_on(uint32_t *handle, int32_t led) {
  return c_call(handle, [&](session &s) { return ops::led_on(s, led); });
}

TOVLINK_API uint32_t tovlink_led_off(uint32_t *handle, int32_t led) {
  return c_call(handle, [&](session &s) { return ops::led_off(s, led); });
}

TOVLINK_API uint32_t tovlink_sound(uint32_t *handle, int32_t first, int32_t second) {
  return c_call(handle, [&](session &s) { return ops::sound(s, first, second); });
}

TOVLINK_API uint32_t tovlink_voice_speed(uint32_t *handle, int32_t speed) {
  return c_call(handle, [&](session &s) { return ops::voice_speed(s, speed); });
}

TOVLINK_API uint32_t tovlink_voice(uint32_t *handle, const char *text) {
  return c_call(handle, [&](session &s) { return ops::voice(s, text); });
}

// Needs no connection and leaves the last error alone.
TOVLINK_API uint32_t tovlin_get_lib_ver(char *buffer, uint64_t size) {
  if (buffer == nullptr || size < k_min_version_buffer) return TOVLINK_ERR_INVALID_ARGUMENT;
  try {
    uint16_t parts[4] = {};
    if (!platform::read_library_version(parts)) return TOVLINK_ERR_EXCHANGE;
    char text[32];
    int length =
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", parts[0], parts[1], parts[2], parts[3]);
    // A text that does not fit is refused whole rather than shortened.
    if (length < 0 || static_cast<uint64_t>(length) >= size) return TOVLINK_ERR_INVALID_ARGUMENT;
    std::memcpy(buffer, text, static_cast<std::size_t>(length) + 1);
    return TOVLINK_OK;
  } catch (...) {
    return TOVLINK_ERR_EXCHANGE;
  }
}

}  // extern "C"
