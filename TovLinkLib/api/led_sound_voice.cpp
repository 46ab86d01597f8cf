// LEDs, tones, speech speed and speech.
#include <cstring>

#include "api/operation_frame.h"
#include "api/operations.h"
#include "frame/diagnostics.h"

namespace tovlink::ops {
namespace {

constexpr int32_t k_min_voice_speed = 50;
constexpr int32_t k_max_voice_speed = 300;
constexpr std::size_t k_max_voice_length = 39;

}  // namespace

uint32_t led_on(session &s, int32_t led) {
  if (!begin_operation(s)) return s.last_error;
  char command[32];
  return exchange_formatted(
      s, format_command(command, sizeof command, "#100,%d", static_cast<int>(led)), command);
}

uint32_t led_off(session &s, int32_t led) {
  if (!begin_operation(s)) return s.last_error;
  char command[32];
  return exchange_formatted(
      s, format_command(command, sizeof command, "#101,%d", static_cast<int>(led)), command);
}

uint32_t sound(session &s, int32_t first, int32_t second) {
  if (!begin_operation(s)) return s.last_error;
  char command[32];
  return exchange_formatted(s,
                            format_command(command, sizeof command, "#110,%05d,%04d",
                                           static_cast<int>(first), static_cast<int>(second)),
                            command);
}

uint32_t voice_speed(session &s, int32_t speed) {
  if (!begin_operation(s)) return s.last_error;
  if (speed < k_min_voice_speed || speed > k_max_voice_speed) return reject_argument(s);
  char command[32];
  return exchange_formatted(
      s, format_command(command, sizeof command, "#120,%03d", static_cast<int>(speed)), command);
}

// The text goes out byte for byte: no escaping and no character-set
// conversion, so commas and control characters reach the robot unchanged.
uint32_t voice(session &s, const char *text) {
  if (!begin_operation(s)) return s.last_error;
  if (text == nullptr || strnlen(text, k_max_voice_length + 1) > k_max_voice_length) {
    return reject_argument(s);
  }
  char command[128];
  return exchange_formatted(s, format_command(command, sizeof command, "#121,%s", text), command);
}

}  // namespace tovlink::ops
