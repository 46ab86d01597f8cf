#include "api/c_api_state.h"

#include "frame/diagnostics.h"

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

bool check_handle(const uint32_t *handle) {
  g_c_api_session.call_handle = handle;
  return check_connection(g_c_api_session);
}

void log_last_error() {
  log_last_error(g_c_api_session);
}

}  // namespace tovlink
