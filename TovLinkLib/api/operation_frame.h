// The frame every robot operation runs in: reset the code, check the
// connection (2), check the arguments (3), exchange (-1 on failure).
#pragma once

#include <cstdint>

#include "frame/library_state.h"
#include "protocol/line_exchange.h"
#include "protocol/status_line.h"
#include "tovlink/contract.hpp"

namespace tovlink {

// Resets the code and checks the connection; with none, settles on 2.
inline bool begin_operation(session &s) {
  s.last_error = TOVLINK_OK;
  if (check_connection(s)) return true;
  settle(s, TOVLINK_ERR_NOT_CONNECTED);
  return false;
}

inline uint32_t reject_argument(session &s) {
  return settle(s, TOVLINK_ERR_INVALID_ARGUMENT);
}

// Runs one command exchange and settles the operation on its outcome.
inline uint32_t exchange_command(session &s, const char *command) {
  if (transact(s, command) != TOVLINK_OK) return settle(s, TOVLINK_ERR_EXCHANGE);
  return TOVLINK_OK;
}

// A command text that did not fit its buffer is never sent (not even as a
// bare "\r"): the operation fails as an invalid argument.
inline uint32_t exchange_formatted(session &s, bool formatted, const char *command) {
  if (!formatted) return reject_argument(s);
  return exchange_command(s, command);
}

}  // namespace tovlink
