#include "frame/library_state.h"

#include "frame/diagnostics.h"

namespace tovlink {

serial_t *g_serial_t = nullptr;
uint32_t g_last_error = TOVLINK_OK;

uint32_t low32(const void *address) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address) & 0xFFFFFFFFu);
}

bool check_handle(const uint32_t *handle) {
  g_last_error = TOVLINK_OK;
  if (g_serial_t == nullptr) {
    log_line("g_serial_t=NULL\n");
    g_last_error = TOVLINK_ERR_NO_CONNECTION;
    return false;
  }
  if (low32(handle) != low32(g_serial_t)) {
    log_line("g_serial_t=0x%08lX, handle=0x%08lX\n", static_cast<unsigned long>(low32(g_serial_t)),
             static_cast<unsigned long>(low32(handle)));
  }
  return true;
}

void log_last_error() {
  log_line("g_last_error=%d\n", static_cast<int>(g_last_error));
}

uint32_t settle(uint32_t code) {
  g_last_error = code;
  if (code != TOVLINK_OK) log_last_error();
  return code;
}

}  // namespace tovlink

extern "C" TOVLINK_API uint32_t tovlink_get_lasterror(void) {
  if (tovlink::g_last_error != TOVLINK_OK) tovlink::log_last_error();
  return tovlink::g_last_error;
}
