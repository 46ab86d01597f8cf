# The library's sources, relative to TovLinkLib/: one list for the library
# build and for the fuzz targets, which compile the same files instrumented.
# The session core, shared by every interface:
set(TOVLINK_PORTABLE_SOURCES
  frame/diagnostics.cpp
  frame/library_state.cpp
  transport/queue.cpp
  transport/serial.cpp
  protocol/line_exchange.cpp
  protocol/status_line.cpp
  connection/connect.cpp
  api/telemetry.cpp
  api/text_queries.cpp
  api/motor_commands.cpp
  api/led_sound_voice.cpp)
# The 34-function C API: its exports and its process-wide session.
set(TOVLINK_C_API_SOURCES api/c_api.cpp api/c_api_state.cpp)
# The session interfaces: the C++ API, the C API of sessions and the contract.
set(TOVLINK_SESSION_SOURCES api/robot.cpp api/session.cpp api/contract.cpp)
set(TOVLINK_POSIX_SOURCES transport/platform_posix.cpp transport/posix_custom_baud.cpp)
set(TOVLINK_WIN32_SOURCES transport/platform_win32.cpp transport/platform_win32_event_port.cpp)
