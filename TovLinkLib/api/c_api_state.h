// The 34-function C API's process-wide state: its one session, reached
// through the names the C API has always documented.  Nothing below the api
// layer knows of it: the lower layers act on the session they are given.
#pragma once

#include <cstdint>

#include "frame/library_state.h"

namespace tovlink {

// The C API's session: one current connection and one last error per
// process, diagnostics on the standard streams, call handles checked.
session &c_api_session();

// The C API's current connection, last error and telemetry cache (its
// session's fields).  Plain values with no lock: the C API is called from one
// host thread at a time and the I/O worker never touches them.  The cache is
// all zero at load and never reset (connect and end leave it as it is).
extern serial_t *&g_serial_t;
extern uint32_t &g_last_error;
extern telemetry_cache &g_telemetry;

// The connection check on the C API's session for a call given `handle`.
bool check_handle(const uint32_t *handle);
// Prints the C API's last error.
void log_last_error();

}  // namespace tovlink
