// The connection check and result settling every operation shares, on the
// session it is given.
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

}  // namespace tovlink
