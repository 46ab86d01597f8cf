// Text queries: one fixed line out, the robot's reply line handed back
// exactly as received.
#include <cstring>

#include "api/operation_frame.h"
#include "frame/diagnostics.h"

using namespace tovlink;

namespace {

// Failure after the underlying code was left by the line exchange: print it,
// then settle on -1 (printed again by tovlink_get_lasterror).
uint32_t fail_query() {
  log_last_error();
  g_last_error = TOVLINK_ERR_EXCHANGE;
  tovlink_get_lasterror();
  return TOVLINK_ERR_EXCHANGE;
}

// These lines already end in their single carriage return, so they go to
// send_line directly rather than through transact.
uint32_t query(uint32_t *handle, const char *line, char *buffer, uint64_t size) {
  if (!begin_operation(handle)) return g_last_error;
  if (buffer == nullptr || size == 0) return reject_argument();
  char command[32];
  format_command(command, sizeof command, "%s", line);
  if (send_line(handle, command) != TOVLINK_OK) return fail_query();
  recv_line(handle, reinterpret_cast<uint8_t *>(buffer), size, k_robot_reply_polls);
  if (g_last_error != TOVLINK_OK) return fail_query();
  return TOVLINK_OK;
}

}  // namespace

extern "C" {

TOVLINK_API uint32_t tovlink_who(uint32_t *handle, char *buffer, uint64_t size) {
  return query(handle, "#800\r", buffer, size);
}

TOVLINK_API uint32_t tovlink_get_motorpower(uint32_t *handle, char *buffer, uint64_t size) {
  return query(handle, "#802\r", buffer, size);
}

TOVLINK_API uint32_t tovlink_set_motorpower(uint32_t *handle, char *buffer, uint64_t size) {
  return query(handle, "#803\r", buffer, size);
}

TOVLINK_API uint32_t tovlink_get_init(uint32_t *handle, char *buffer, uint64_t size) {
  return query(handle, "#804\r", buffer, size);
}

TOVLINK_API uint32_t tovlink_get_info(uint32_t *handle, char *buffer, uint64_t size) {
  return query(handle, "#805\r", buffer, size);
}

TOVLINK_API uint32_t tovlink_get_init_mic_range(uint32_t *handle, char *buffer, uint64_t size) {
  return query(handle, "#806\r", buffer, size);
}

TOVLINK_API uint32_t tovlink_get_init_power_limit(uint32_t *handle, char *buffer, uint64_t size) {
  return query(handle, "#807\r", buffer, size);
}

TOVLINK_API uint32_t tovlink_get_position(uint32_t *handle, char *buffer, uint64_t size) {
  return query(handle, "#142\r", buffer, size);
}

}  // extern "C"
