// LEDs, tones, speech speed and speech.
#include <cstring>

#include "api/operation_frame.h"
#include "frame/diagnostics.h"

using namespace tovlink;

namespace {

constexpr int32_t k_min_voice_speed = 50;
constexpr int32_t k_max_voice_speed = 300;
constexpr std::size_t k_max_voice_length = 39;

}  // namespace

extern "C" {

TOVLINK_API uint32_t tovlink_led_on(uint32_t *handle, int32_t led) {
  if (!begin_operation(handle)) return g_last_error;
  char command[32];
  format_command(command, sizeof command, "#100,%d", static_cast<int>(led));
  return exchange_command(handle, command);
}

TOVLINK_API uint32_t tovlink_led_off(uint32_t *handle, int32_t led) {
  if (!begin_operation(handle)) return g_last_error;
  char command[32];
  format_command(command, sizeof command, "#101,%d", static_cast<int>(led));
  return exchange_command(handle, command);
}

TOVLINK_API uint32_t tovlink_sound(uint32_t *handle, int32_t first, int32_t second) {
  if (!begin_operation(handle)) return g_last_error;
  char command[32];
  format_command(command, sizeof command, "#110,%05d,%04d", static_cast<int>(first),
                 static_cast<int>(second));
  return exchange_command(handle, command);
}

TOVLINK_API uint32_t tovlink_voice_speed(uint32_t *handle, int32_t speed) {
  if (!begin_operation(handle)) return g_last_error;
  if (speed < k_min_voice_speed || speed > k_max_voice_speed) return reject_argument();
  char command[32];
  format_command(command, sizeof command, "#120,%03d", static_cast<int>(speed));
  return exchange_command(handle, command);
}

// The text goes out byte for byte: no escaping and no character-set
// conversion, so commas and control characters reach the robot unchanged.
TOVLINK_API uint32_t tovlink_voice(uint32_t *handle, const char *text) {
  if (!begin_operation(handle)) return g_last_error;
  if (text == nullptr || strnlen(text, k_max_voice_length + 1) > k_max_voice_length) {
    return reject_argument();
  }
  char command[128];
  format_command(command, sizeof command, "#121,%s", text);
  return exchange_command(handle, command);
}

}  // extern "C"
