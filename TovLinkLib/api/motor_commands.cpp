// Motor commands: power, positioning, timed and relative moves, adjustment.
// Host motors 1-7 go on the wire as 0-6; angles are clamped per motor.
#include "api/operation_frame.h"
#include "api/operations.h"
#include "frame/diagnostics.h"
#include "tovlink/robot.hpp"

namespace tovlink::ops {
namespace {

bool is_motor_or_all(int32_t motor) {
  return is_motor(motor) || motor == k_all_motors;
}

int32_t wire_motor(int32_t motor) {
  return motor == k_all_motors ? motor : motor - 1;
}

// The seven clamped angles as "%03d,...,%03d".
bool format_angles(char (&text)[64], const int32_t (&angles)[k_motor_count]) {
  return format_command(
      text, sizeof text, "%03d,%03d,%03d,%03d,%03d,%03d,%03d",
      static_cast<int>(clamp_angle(1, angles[0])), static_cast<int>(clamp_angle(2, angles[1])),
      static_cast<int>(clamp_angle(3, angles[2])), static_cast<int>(clamp_angle(4, angles[3])),
      static_cast<int>(clamp_angle(5, angles[4])), static_cast<int>(clamp_angle(6, angles[5])),
      static_cast<int>(clamp_angle(7, angles[6])));
}

}  // namespace

// The ranges are the public ones of the C++ interface, so what it reports as
// sent is what goes on the wire.
int32_t clamp_angle(int32_t motor, int32_t angle) {
  return angle_range(motor).clamp(angle);
}

uint32_t motor_power_on(session &s, int32_t value) {
  if (!begin_operation(s)) return s.last_error;
  if (value < power_value_range.low) return reject_argument(s);
  if (exchange_command(s, "#130") != TOVLINK_OK) return s.last_error;
  char command[32];
  return exchange_formatted(
      s, format_command(command, sizeof command, "#133,9,%04d", static_cast<int>(value)), command);
}

uint32_t motor_power_off(session &s) {
  if (!begin_operation(s)) return s.last_error;
  return exchange_command(s, "#131");
}

uint32_t motor_start(session &s) {
  if (!begin_operation(s)) return s.last_error;
  return exchange_command(s, "#134\r");
}

uint32_t motor_set_pos(session &s, int32_t motor, int32_t angle) {
  if (!begin_operation(s)) return s.last_error;
  if (!is_motor(motor)) return reject_argument(s);
  char command[64];
  return exchange_formatted(
      s,
      format_command(command, sizeof command, "#132,%d,%03d\r", static_cast<int>(motor - 1),
                     static_cast<int>(clamp_angle(motor, angle))),
      command);
}

// The angle field always carries 0: the relative form is recognised by the
// robot by that field, so no amount is sent.
uint32_t motor_set_pos_rel(session &s, int32_t motor) {
  if (!begin_operation(s)) return s.last_error;
  if (!is_motor(motor)) return reject_argument(s);
  char command[64];
  return exchange_formatted(
      s, format_command(command, sizeof command, "#137,%d,%03d\r", static_cast<int>(motor - 1), 0),
      command);
}

uint32_t motor_pos_all(session &s, const int32_t (&angles)[k_motor_count]) {
  if (!begin_operation(s)) return s.last_error;
  char text[64];
  char command[64];
  bool formatted =
      format_angles(text, angles) && format_command(command, sizeof command, "#136,%s\r", text);
  return exchange_formatted(s, formatted, command);
}

uint32_t motor_angle_time(session &s, int32_t motor, int32_t angle, int32_t time) {
  if (!begin_operation(s)) return s.last_error;
  if (!is_motor_or_all(motor)) return reject_argument(s);
  char command[64];
  return exchange_formatted(
      s,
      format_command(command, sizeof command, "#150,%d,%03d,%04d\r",
                     static_cast<int>(wire_motor(motor)),
                     static_cast<int>(clamp_angle(motor, angle)), static_cast<int>(time)),
      command);
}

// As with motor_set_pos_rel, the angle field always carries 0.
uint32_t motor_angle_time_rel(session &s, int32_t motor, int32_t time) {
  if (!begin_operation(s)) return s.last_error;
  if (!is_motor_or_all(motor)) return reject_argument(s);
  char command[64];
  return exchange_formatted(
      s,
      format_command(command, sizeof command, "#152,%d,%03d,%04d\r",
                     static_cast<int>(wire_motor(motor)), 0, static_cast<int>(time)),
      command);
}

uint32_t motor_angle_multi_time(session &s, const int32_t (&angles)[k_motor_count], int32_t time) {
  if (!begin_operation(s)) return s.last_error;
  char text[64];
  char command[64];
  bool formatted =
      format_angles(text, angles) &&
      format_command(command, sizeof command, "#151,%s,%04d\r", text, static_cast<int>(time));
  return exchange_formatted(s, formatted, command);
}

uint32_t motor_adjust(session &s, int32_t motor, int32_t value) {
  if (!begin_operation(s)) return s.last_error;
  if (!is_motor(motor)) return reject_argument(s);
  char command[32];
  return exchange_formatted(s,
                            format_command(command, sizeof command, "#810,%d,%04d\r",
                                           static_cast<int>(motor - 1), static_cast<int>(value)),
                            command);
}

}  // namespace tovlink::ops
