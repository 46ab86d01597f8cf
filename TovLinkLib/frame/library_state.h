// Process-wide state shared by every operation: the current connection, the
// last result code, and the connection check that opens each operation.
#pragma once

#include <cstdint>

#include "tovlink.h"

namespace tovlink {

struct serial_t;

// The current connection, or null.  Plain values with no lock: the library
// is called from one host thread at a time and the I/O worker never touches
// them.
extern serial_t *g_serial_t;
extern uint32_t g_last_error;

// Low 32 bits of an address, the only part a handle is ever compared on.
uint32_t low32(const void *address);

// Resets g_last_error, then reports whether a connection is current.  With
// none it prints "g_serial_t=NULL" and leaves 1 in g_last_error.  A handle
// other than the current connection is only reported, never used: every
// operation acts on g_serial_t.
bool check_handle(const uint32_t *handle);

// Prints "g_last_error=<code>" with the current code.
void log_last_error();

// Settles an operation on `code`: stores it, prints it when non-zero and
// returns it.
uint32_t settle(uint32_t code);

}  // namespace tovlink
