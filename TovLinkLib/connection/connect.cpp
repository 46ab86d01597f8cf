#include "connection/connect.h"

#include <chrono>
#include <cstring>

#include "frame/diagnostics.h"
#include "frame/library_state.h"
#include "protocol/line_exchange.h"
#include "transport/platform.h"
#include "transport/serial.h"

namespace tovlink {

char g_peer_id[k_peer_id_size];

namespace {

using steady = std::chrono::steady_clock;

struct dialogue {
  uint32_t *handle;
  uint8_t reply[k_line_buffer_size];
  char command[k_line_buffer_size];
};

bool starts_with(const uint8_t *reply, const char *prefix) {
  return std::strncmp(reinterpret_cast<const char *>(reply), prefix, std::strlen(prefix)) == 0;
}

// A failed step ends the new connection first, then leaves its own code.
uint32_t *fail_step(dialogue &d, uint32_t code) {
  tovlink_end(d.handle);
  g_last_error = code;
  return nullptr;
}

// Sends one dialogue line; on failure prints the send's code.
bool send_step(dialogue &d, const char *text) {
  send_line(d.handle, text);
  if (g_last_error == TOVLINK_OK) return true;
  log_last_error();
  return false;
}

// Waits for a line beginning with `prefix`, skipping other lines for at most
// k_line_skipping_limit_ms so a device that never stops talking cannot hold
// connect.  Leaves the receive's code in g_last_error.
bool wait_for_line(dialogue &d, const char *prefix, bool zero_between_lines) {
  const auto deadline = steady::now() + std::chrono::milliseconds(k_line_skipping_limit_ms);
  for (;;) {
    if (zero_between_lines) std::memset(d.reply, 0, sizeof d.reply);
    recv_line(d.handle, d.reply, sizeof d.reply, k_dialogue_reply_polls);
    if (g_last_error != TOVLINK_OK) return false;
    if (starts_with(d.reply, prefix)) return true;
    if (steady::now() >= deadline) {
      log_stdout_line("[Err] Detect timeout.\n");
      g_last_error = TOVLINK_ERR_RECEIVE;
      return false;
    }
  }
}

void log_wait_failure() {
  log_last_error();
  log_last_error();
  log_line(k_error_detected_line, static_cast<int>(g_last_error));
}

uint32_t *run_dialogue(dialogue &d) {
  if (!send_step(d, "R,1\r")) return fail_step(d, TOVLINK_ERR_CONNECT_RESET_SEND);

  if (!wait_for_line(d, "CMD", true)) {
    uint32_t code = g_last_error;
    log_wait_failure();
    log_last_error();
    log_last_error();
    return fail_step(d, code);
  }

  std::memset(d.reply, 0, sizeof d.reply);
  if (!send_step(d, "GDH\r")) return fail_step(d, TOVLINK_ERR_CONNECT_PEER_SEND);
  recv_line(d.handle, d.reply, sizeof d.reply, k_peer_id_reply_polls);
  if (g_last_error != TOVLINK_OK) {
    log_last_error();
    return fail_step(d, TOVLINK_ERR_CONNECT_PEER_REPLY);
  }
  // A peer id that does not fit would link with a shortened, wrong id.
  std::size_t peer_length = strnlen(reinterpret_cast<const char *>(d.reply), sizeof d.reply);
  if (peer_length >= sizeof g_peer_id) return fail_step(d, TOVLINK_ERR_CONNECT_PEER_REPLY);
  std::memcpy(g_peer_id, d.reply, peer_length);

  platform::sleep_milliseconds(k_pause_before_link_ms);

  std::memset(d.reply, 0, sizeof d.reply);
  std::memset(d.command, 0, sizeof d.command);
  format_command(d.command, sizeof d.command, "E,0,%s\r", g_peer_id);
  if (!send_step(d, d.command)) return fail_step(d, TOVLINK_ERR_CONNECT_LINK_SEND);
  recv_line(d.handle, d.reply, sizeof d.reply, k_dialogue_reply_polls);
  if (g_last_error != TOVLINK_OK) {
    log_last_error();
    return fail_step(d, TOVLINK_ERR_CONNECT_LINK_REPLY);
  }
  if (!starts_with(d.reply, "AOK")) return fail_step(d, TOVLINK_ERR_CONNECT_LINK_REPLY);

  platform::sleep_milliseconds(k_pause_after_link_ms);

  std::memset(d.reply, 0, sizeof d.reply);
  if (!send_step(d, "I\r")) return fail_step(d, TOVLINK_ERR_CONNECT_INFO_SEND);
  // The adapter's closing line only confirms the link: its absence is logged
  // and the connection is used all the same.
  if (!wait_for_line(d, "MLDP", false)) log_wait_failure();

  log_line("Handle:0x%08lX\n", static_cast<unsigned long>(low32(d.handle)));
  return d.handle;
}

}  // namespace
}  // namespace tovlink

using namespace tovlink;

extern "C" TOVLINK_API uint32_t *tovlink_connect(const char *port_name, int32_t baud) {
  const char *shown_name = port_name != nullptr ? port_name : "(null)";
  log_line("tovlink_connect %s, %d\n", shown_name, static_cast<int>(baud));
  char device_path[platform::k_device_path_capacity];
  bool path_fits = platform::build_device_path(port_name, device_path);

  dialogue d{};
  std::memset(g_peer_id, 0, sizeof g_peer_id);
  g_last_error = TOVLINK_OK;

  serial_t *serial = path_fits ? serial_open(device_path, baud) : nullptr;
  if (serial == nullptr) {
    g_last_error = TOVLINK_ERR_PORT_OPEN;
    log_line(k_port_init_failed_line, shown_name);
    return nullptr;
  }
  g_serial_t = serial;
  d.handle = reinterpret_cast<uint32_t *>(serial);
  return run_dialogue(d);
}

extern "C" TOVLINK_API void tovlink_end(uint32_t *handle) {
  log_line("tovlink_end\n");
  if (!check_handle(handle)) {
    g_last_error = TOVLINK_ERR_NOT_CONNECTED;
    return;
  }
  serial_close(g_serial_t);
  g_serial_t = nullptr;
}
