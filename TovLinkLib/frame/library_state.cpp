#include "frame/library_state.h"

#include "frame/diagnostics.h"

namespace tovlink {

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

}  // namespace tovlink
