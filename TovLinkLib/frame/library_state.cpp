#include "frame/library_state.h"

#include "frame/diagnostics.h"
#include "protocol/status_line.h"

namespace tovlink {
namespace {

session g_c_api_session{.sink = {write_to_standard_streams, nullptr, false},
                        .check_call_handle = true};

}  // namespace

serial_t *&g_serial_t = g_c_api_session.serial;
uint32_t &g_last_error = g_c_api_session.last_error;
telemetry_cache &g_telemetry = g_c_api_session.telemetry;

session &c_api_session() {
  return g_c_api_session;
}

uint32_t low32(const void *address) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address) & 0xFFFFFFFFu);
}

bool check_connection(session &s) {
  s.last_error = TOVLINK_OK;
  if (s.serial == nullptr) {
    log_line(s, "g_serial_t=NULL\n");
    s.last_error = TOVLINK_ERR_NO_CONNECTION;
    return false;
  }
  if (s.check_call_handle && low32(s.call_handle) != low32(s.serial)) {
    log_line(s, "g_serial_t=0x%08lX, handle=0x%08lX\n", static_cast<unsigned long>(low32(s.serial)),
             static_cast<unsigned long>(low32(s.call_handle)));
  }
  return true;
}

void log_last_error(session &s) {
  log_line(s, "g_last_error=%d\n", static_cast<int>(s.last_error));
}

uint32_t settle(session &s, uint32_t code) {
  s.last_error = code;
  if (code != TOVLINK_OK) log_last_error(s);
  return code;
}

bool check_handle(const uint32_t *handle) {
  g_c_api_session.call_handle = handle;
  return check_connection(g_c_api_session);
}

void log_last_error() {
  log_last_error(g_c_api_session);
}

}  // namespace tovlink
