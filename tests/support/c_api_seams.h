// What in-process tests and fuzz targets need of the 34-function C API's
// process-wide session: its state, and the lower layers' calls bound to it
// (the library's own layers take a session and know nothing of this one).
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/c_api_state.h"
#include "protocol/line_exchange.h"
#include "protocol/status_line.h"
#include "transport/platform.h"
#include "transport/serial.h"

namespace tovlink {

inline serial_t *serial_open(const char *path, int32_t baud) {
  return serial_open(c_api_session(), path, baud);
}

// The line exchange on the C API's session, for a call given `handle`.
inline uint32_t send_line(const uint32_t *handle, const char *text) {
  c_api_session().call_handle = handle;
  return send_line(c_api_session(), text);
}
inline uint32_t recv_line(const uint32_t *handle, uint8_t *buffer, uint64_t size, uint32_t polls) {
  c_api_session().call_handle = handle;
  return recv_line(c_api_session(), buffer, size, polls);
}
inline uint32_t transact(const uint32_t *handle, const char *command) {
  c_api_session().call_handle = handle;
  return transact(c_api_session(), command);
}

// A status line into the C API's cache.
inline void parse_status(const uint8_t *reply, std::size_t count) {
  parse_status(g_telemetry, reply, count);
}

// Replaces how the C API's session opens devices; null restores the
// platform's own opener.
using device_opener = platform::open_result (*)(const char *path, int32_t baud);
inline void set_device_opener(device_opener opener) {
  c_api_session().open_device = opener;
}

// Called with each new record of the C API's session just before its worker starts.
using open_observer = void (*)(serial_t *serial);
inline void set_open_observer(open_observer observer) {
  c_api_session().on_open = observer;
}

}  // namespace tovlink
