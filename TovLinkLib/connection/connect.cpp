#include "connection/connect.h"

#include <chrono>
#include <cstring>

#include "frame/diagnostics.h"
#include "frame/library_state.h"
#include "protocol/line_exchange.h"
#include "transport/platform.h"
#include "transport/serial.h"

namespace tovlink {
namespace {

using steady = std::chrono::steady_clock;

struct dialogue {
  session &s;
  uint8_t reply[k_line_buffer_size];
  char command[k_line_buffer_size];
};

bool starts_with(const uint8_t *reply, const char *prefix) {
  return std::strncmp(reinterpret_cast<const char *>(reply), prefix, std::strlen(prefix)) == 0;
}

// A failed step ends the new connection first, then leaves its own code.
bool fail_step(dialogue &d, uint32_t code) {
  end_session(d.s);
  d.s.last_error = code;
  return false;
}

// Sends one dialogue line; on failure prints the send's code.
bool send_step(dialogue &d, const char *text) {
  send_line(d.s, text);
  if (d.s.last_error == TOVLINK_OK) return true;
  log_last_error(d.s);
  return false;
}

// Waits for a line beginning with `prefix`, skipping other lines for at most
// k_line_skipping_limit_ms so a device that never stops talking cannot hold
// connect.  Leaves the receive's code in s.last_error.
bool wait_for_line(dialogue &d, const char *prefix, bool zero_between_lines) {
  const auto deadline = steady::now() + std::chrono::milliseconds(k_line_skipping_limit_ms);
  for (;;) {
    if (zero_between_lines) std::memset(d.reply, 0, sizeof d.reply);
    recv_line(d.s, d.reply, sizeof d.reply, k_dialogue_reply_polls);
    if (d.s.last_error != TOVLINK_OK) return false;
    if (starts_with(d.reply, prefix)) return true;
    if (steady::now() >= deadline) {
      log_stdout_line(d.s, "[Err] Detect timeout.\n");
      d.s.last_error = TOVLINK_ERR_RECEIVE;
      return false;
    }
  }
}

void log_wait_failure(session &s) {
  log_last_error(s);
  log_last_error(s);
  log_bilingual_line(s, &k_error_detected, static_cast<int>(s.last_error));
}

// The adapter's pauses.  A session that can be cancelled gives up as soon as
// it is asked to (false then): an event-driven one is woken by the request,
// others sleep in short slices and look.
bool pause(session &s, uint32_t milliseconds) {
  if (s.cancel_requested == nullptr) {
    platform::sleep_milliseconds(milliseconds);
    return true;
  }
  const auto end = steady::now() + std::chrono::milliseconds(milliseconds);
  if (s.event_driven) {
    // A cancel request raises the session's wake: no slices to poll.
    while (!s.cancelled()) {
      uint64_t seen = s.wake.generation();
      if (s.cancelled() || steady::now() >= end) break;
      s.wake.wait_past(seen, end);
    }
    return !s.cancelled();
  }
  constexpr uint32_t k_slice_ms = 5;
  while (steady::now() < end) {
    if (s.cancelled()) return false;
    platform::sleep_milliseconds(k_slice_ms);
  }
  return !s.cancelled();
}

bool run_dialogue(dialogue &d) {
  session &s = d.s;
  if (!send_step(d, "R,1\r")) return fail_step(d, TOVLINK_ERR_CONNECT_RESET_SEND);

  if (!wait_for_line(d, "CMD", true)) {
    uint32_t code = s.last_error;
    log_wait_failure(s);
    log_last_error(s);
    log_last_error(s);
    return fail_step(d, code);
  }

  std::memset(d.reply, 0, sizeof d.reply);
  if (!send_step(d, "GDH\r")) return fail_step(d, TOVLINK_ERR_CONNECT_PEER_SEND);
  recv_line(s, d.reply, sizeof d.reply, k_peer_id_reply_polls);
  if (s.last_error != TOVLINK_OK) {
    log_last_error(s);
    return fail_step(
        d, s.last_error == k_code_cancelled ? k_code_cancelled : TOVLINK_ERR_CONNECT_PEER_REPLY);
  }
  // A peer id that does not fit would link with a shortened, wrong id.
  std::size_t peer_length = strnlen(reinterpret_cast<const char *>(d.reply), sizeof d.reply);
  if (peer_length >= sizeof s.peer_id) return fail_step(d, TOVLINK_ERR_CONNECT_PEER_REPLY);
  std::memcpy(s.peer_id, d.reply, peer_length);

  if (!pause(s, k_pause_before_link_ms)) return fail_step(d, k_code_cancelled);

  std::memset(d.reply, 0, sizeof d.reply);
  std::memset(d.command, 0, sizeof d.command);
  // The peer id is shorter than the command buffer by construction.
  if (!format_command(d.command, sizeof d.command, "E,0,%s\r", s.peer_id)) {
    return fail_step(d, TOVLINK_ERR_CONNECT_LINK_SEND);
  }
  if (!send_step(d, d.command)) return fail_step(d, TOVLINK_ERR_CONNECT_LINK_SEND);
  recv_line(s, d.reply, sizeof d.reply, k_dialogue_reply_polls);
  if (s.last_error != TOVLINK_OK) {
    log_last_error(s);
    return fail_step(
        d, s.last_error == k_code_cancelled ? k_code_cancelled : TOVLINK_ERR_CONNECT_LINK_REPLY);
  }
  if (!starts_with(d.reply, "AOK")) return fail_step(d, TOVLINK_ERR_CONNECT_LINK_REPLY);

  if (!pause(s, k_pause_after_link_ms)) return fail_step(d, k_code_cancelled);

  std::memset(d.reply, 0, sizeof d.reply);
  if (!send_step(d, "I\r")) return fail_step(d, TOVLINK_ERR_CONNECT_INFO_SEND);
  // The adapter's closing line only confirms the link: its absence is logged
  // and the connection is used all the same.
  if (!wait_for_line(d, "MLDP", false)) {
    if (s.last_error == k_code_cancelled) return fail_step(d, k_code_cancelled);
    log_wait_failure(s);
  }

  log_line(s, "Handle:0x%08lX\n", static_cast<unsigned long>(low32(s.serial)));
  return true;
}

}  // namespace

bool connect_session(session &s, const char *port_name, int32_t baud) {
  const char *shown_name = port_name != nullptr ? port_name : "(null)";
  log_line(s, "tovlink_connect %s, %d\n", shown_name, static_cast<int>(baud));
  char device_path[platform::k_device_path_capacity];
  bool path_fits = platform::build_device_path(port_name, device_path);

  dialogue d{s, {}, {}};
  std::memset(s.peer_id, 0, sizeof s.peer_id);
  s.last_error = TOVLINK_OK;

  serial_t *serial = path_fits ? serial_open(s, device_path, baud) : nullptr;
  if (serial == nullptr) {
    s.last_error = TOVLINK_ERR_PORT_OPEN;
    log_bilingual_line(s, &k_port_init_failed, shown_name);
    return false;
  }
  s.serial = serial;
  s.call_handle = reinterpret_cast<const uint32_t *>(serial);
  return run_dialogue(d);
}

void end_session(session &s) {
  log_line(s, "tovlink_end\n");
  if (!check_connection(s)) {
    s.last_error = TOVLINK_ERR_NOT_CONNECTED;
    return;
  }
  serial_close(s.serial);
  s.serial = nullptr;
}

}  // namespace tovlink
