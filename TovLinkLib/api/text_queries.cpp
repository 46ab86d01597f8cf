// Text queries: one fixed line out, the robot's reply line handed back
// exactly as received.
#include "api/operation_frame.h"
#include "api/operations.h"
#include "frame/diagnostics.h"
#include "transport/serial.h"

namespace tovlink::ops {
namespace {

// Failure after the underlying code was left by the line exchange: print it,
// then settle on -1 and print that (as the C API's last-error read does).
uint32_t fail_query(session &s) {
  s.exchange_failure = s.last_error;
  log_last_error(s);
  s.last_error = TOVLINK_ERR_EXCHANGE;
  log_last_error(s);
  return TOVLINK_ERR_EXCHANGE;
}

}  // namespace

// Each line goes out with its single carriage return through send_line
// directly rather than through transact.  Like every robot
// exchange, the query starts by dropping what arrived since the last one.
uint32_t query(session &s, Query which, char *buffer, uint64_t size) {
  if (!begin_operation(s)) return s.last_error;
  if (buffer == nullptr || size == 0) return reject_argument(s);
  s.exchange_failure = TOVLINK_OK;
  s.exchange_sent = false;
  const std::string_view line = query_line(which);
  char command[32];
  if (!format_command(command, sizeof command, "%.*s\r", static_cast<int>(line.size()),
                      line.data())) {
    return reject_argument(s);
  }
  if (s.fail_fast_on_lost_link && !serial_running(s.serial)) {
    s.last_error = k_code_link_lost;
    return fail_query(s);
  }
  discard_stale_input(s);
  if (send_line(s, command) != TOVLINK_OK) return fail_query(s);
  s.exchange_sent = true;
  recv_line(s, reinterpret_cast<uint8_t *>(buffer), size, k_robot_reply_polls);
  if (s.last_error != TOVLINK_OK) return fail_query(s);
  return TOVLINK_OK;
}

}  // namespace tovlink::ops
