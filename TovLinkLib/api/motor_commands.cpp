// Motor commands: power, positioning, timed and relative moves, adjustment.
// Host motors 1-7 go on the wire as 0-6; angles are clamped per motor.
#include "api/operation_frame.h"
#include "frame/diagnostics.h"
#include "protocol/status_line.h"

using namespace tovlink;

namespace {

constexpr int32_t k_all_motors = 255;
constexpr int32_t k_min_power_value = 500;

bool is_motor_or_all(int32_t motor) {
  return is_motor(motor) || motor == k_all_motors;
}

// Motors 2, 3, 5 and 6 move within 55-125; motors 1, 4, 7 and "all" within
// 0-180.
int32_t clamp_angle(int32_t motor, int32_t angle) {
  bool narrow = motor == 2 || motor == 3 || motor == 5 || motor == 6;
  int32_t low = narrow ? 55 : 0;
  int32_t high = narrow ? 125 : 180;
  return angle < low ? low : angle > high ? high : angle;
}

int32_t wire_motor(int32_t motor) {
  return motor == k_all_motors ? motor : motor - 1;
}

}  // namespace

extern "C" {

TOVLINK_API uint32_t tovlink_motor_power_on(uint32_t *handle, int32_t value) {
  if (!begin_operation(handle)) return g_last_error;
  if (value < k_min_power_value) return reject_argument();
  char command[32];
  format_command(command, sizeof command, "#130");
  if (exchange_command(handle, command) != TOVLINK_OK) return g_last_error;
  format_command(command, sizeof command, "#133,9,%04d", static_cast<int>(value));
  return exchange_command(handle, command);
}

TOVLINK_API uint32_t tovlink_motor_power_off(uint32_t *handle) {
  if (!begin_operation(handle)) return g_last_error;
  return exchange_command(handle, "#131");
}

TOVLINK_API uint32_t tovlink_motor_start(uint32_t *handle) {
  if (!begin_operation(handle)) return g_last_error;
  char command[64];
  format_command(command, sizeof command, "#134\r");
  return exchange_command(handle, command);
}

TOVLINK_API uint32_t tovlink_motor_set_pos(uint32_t *handle, int32_t motor, int32_t angle) {
  if (!begin_operation(handle)) return g_last_error;
  if (!is_motor(motor)) return reject_argument();
  char command[64];
  format_command(command, sizeof command, "#132,%d,%03d\r", static_cast<int>(motor - 1),
                 static_cast<int>(clamp_angle(motor, angle)));
  return exchange_command(handle, command);
}

// The angle field always carries 0: the relative form is recognised by the
// robot by that field, so `value` is deliberately not sent.
TOVLINK_API uint32_t tovlink_motor_set_pos_rel(uint32_t *handle, int32_t motor, int32_t value) {
  (void)value;
  if (!begin_operation(handle)) return g_last_error;
  if (!is_motor(motor)) return reject_argument();
  char command[64];
  format_command(command, sizeof command, "#137,%d,%03d\r", static_cast<int>(motor - 1), 0);
  return exchange_command(handle, command);
}

TOVLINK_API uint32_t tovlink_motor_pos_all(uint32_t *handle, int32_t angle1, int32_t angle2,
                                           int32_t angle3, int32_t angle4, int32_t angle5,
                                           int32_t angle6, int32_t angle7) {
  if (!begin_operation(handle)) return g_last_error;
  char command[64];
  format_command(command, sizeof command, "#136,%03d,%03d,%03d,%03d,%03d,%03d,%03d\r",
                 static_cast<int>(clamp_angle(1, angle1)), static_cast<int>(clamp_angle(2, angle2)),
                 static_cast<int>(clamp_angle(3, angle3)), static_cast<int>(clamp_angle(4, angle4)),
                 static_cast<int>(clamp_angle(5, angle5)), static_cast<int>(clamp_angle(6, angle6)),
                 static_cast<int>(clamp_angle(7, angle7)));
  return exchange_command(handle, command);
}

TOVLINK_API uint32_t tovlink_motor_angle_time(uint32_t *handle, int32_t motor, int32_t angle,
                                              int32_t time) {
  if (!begin_operation(handle)) return g_last_error;
  if (!is_motor_or_all(motor)) return reject_argument();
  char command[64];
  format_command(command, sizeof command, "#150,%d,%03d,%04d\r",
                 static_cast<int>(wire_motor(motor)), static_cast<int>(clamp_angle(motor, angle)),
                 static_cast<int>(time));
  return exchange_command(handle, command);
}

// As with tovlink_motor_set_pos_rel, the angle field always carries 0.
TOVLINK_API uint32_t tovlink_motor_angle_time_rel(uint32_t *handle, int32_t motor, int32_t value,
                                                  int32_t time) {
  (void)value;
  if (!begin_operation(handle)) return g_last_error;
  if (!is_motor_or_all(motor)) return reject_argument();
  char command[64];
  format_command(command, sizeof command, "#152,%d,%03d,%04d\r",
                 static_cast<int>(wire_motor(motor)), 0, static_cast<int>(time));
  return exchange_command(handle, command);
}

TOVLINK_API uint32_t tovlink_motor_angle_multi_time(uint32_t *handle, int32_t angle1,
                                                    int32_t angle2, int32_t angle3, int32_t angle4,
                                                    int32_t angle5, int32_t angle6, int32_t angle7,
                                                    int32_t time) {
  if (!begin_operation(handle)) return g_last_error;
  char command[64];
  format_command(command, sizeof command, "#151,%03d,%03d,%03d,%03d,%03d,%03d,%03d,%04d\r",
                 static_cast<int>(clamp_angle(1, angle1)), static_cast<int>(clamp_angle(2, angle2)),
                 static_cast<int>(clamp_angle(3, angle3)), static_cast<int>(clamp_angle(4, angle4)),
                 static_cast<int>(clamp_angle(5, angle5)), static_cast<int>(clamp_angle(6, angle6)),
                 static_cast<int>(clamp_angle(7, angle7)), static_cast<int>(time));
  return exchange_command(handle, command);
}

TOVLINK_API uint32_t tovlink_motor_adjust(uint32_t *handle, int32_t motor, int32_t value) {
  if (!begin_operation(handle)) return g_last_error;
  if (!is_motor(motor)) return reject_argument();
  char command[32];
  format_command(command, sizeof command, "#810,%d,%04d\r", static_cast<int>(motor - 1),
                 static_cast<int>(value));
  return exchange_command(handle, command);
}

}  // extern "C"
