// The frame every robot operation runs in: reset the code, check the
// connection (2), check the arguments (3), exchange (-1 on failure).
#pragma once

#include <cstdint>

#include "frame/library_state.h"
#include "protocol/line_exchange.h"
#include "protocol/status_line.h"

namespace tovlink {

// Resets the code and checks the connection; with none, settles on 2.
inline bool begin_operation(const uint32_t *handle) {
  g_last_error = TOVLINK_OK;
  if (check_handle(handle)) return true;
  settle(TOVLINK_ERR_NOT_CONNECTED);
  return false;
}

// Hosts number the motors 1 to 7.
inline bool is_motor(int32_t motor) {
  return motor >= 1 && motor <= k_motor_count;
}

inline uint32_t reject_argument() {
  return settle(TOVLINK_ERR_INVALID_ARGUMENT);
}

// Runs one command exchange and settles the operation on its outcome.
inline uint32_t exchange_command(const uint32_t *handle, const char *command) {
  if (transact(handle, command) != TOVLINK_OK) return settle(TOVLINK_ERR_EXCHANGE);
  return TOVLINK_OK;
}

}  // namespace tovlink
