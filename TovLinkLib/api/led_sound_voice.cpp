// LEDs, tones, speech speed and speech.
#include <cstring>
#include <string_view>

#include "api/operation_frame.h"
#include "api/operations.h"
#include "frame/diagnostics.h"
#include "tovlink/contract.hpp"

namespace tovlink::ops {

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
  if (!speech_speed_range.contains(speed)) return reject_argument(s);
  char command[32];
  return exchange_formatted(
      s, format_command(command, sizeof command, "#120,%03d", static_cast<int>(speed)), command);
}

// The text goes out byte for byte: no escaping and no character-set
// conversion, so commas and other control characters reach the robot
// unchanged.  A CR or LF is refused: it would end the speech line early and
// make the rest of the text a command line of its own.
uint32_t voice(session &s, const char *text) {
  if (!begin_operation(s)) return s.last_error;
  if (text == nullptr) return reject_argument(s);
  const std::size_t length = strnlen(text, max_speech_bytes + 1);
  if (length > max_speech_bytes) return reject_argument(s);
  if (std::string_view(text, length).find_first_of(speech_forbidden_bytes) !=
      std::string_view::npos) {
    return reject_argument(s);
  }
  char command[128];
  return exchange_formatted(s, format_command(command, sizeof command, "#121,%s", text), command);
}

}  // namespace tovlink::ops
