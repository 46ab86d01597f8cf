// The connection check and result settling every operation shares, and the
// C API's process-wide state: its one session, reached through the names the
// C API has always documented.
#pragma once

#include <cstdint>

#include "frame/session.h"
#include "tovlink.h"

namespace tovlink {

// Low 32 bits of an address, the only part a handle is ever compared on.
uint32_t low32(const void *address);

// Resets the session's code, then reports whether it has a connection.  With
// none it prints "g_serial_t=NULL" and leaves 1.  For the C API a call handle
// other than the current connection is only reported, never used.
bool check_connection(session &s);

// Prints "g_last_error=<code>" with the session's current code.
void log_last_error(session &s);

// Settles an operation on `code`: stores it, prints it when non-zero and
// returns it.
uint32_t settle(session &s, uint32_t code);

// The C API's session: one current connection and one last error per
// process, diagnostics on the standard streams, call handles checked.
session &c_api_session();

// The C API's current connection and last error (its session's fields).
// Plain values with no lock: the C API is called from one host thread at a
// time and the I/O worker never touches them.
extern serial_t *&g_serial_t;
extern uint32_t &g_last_error;

// The connection check on the C API's session for a call given `handle`.
bool check_handle(const uint32_t *handle);
// Prints the C API's last error.
void log_last_error();

}  // namespace tovlink
