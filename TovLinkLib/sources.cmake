# The library's sources, relative to TovLinkLib/: one list for the library
# build and for the fuzz targets, which compile the same files instrumented.
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
  api/led_sound_voice.cpp
  api/c_api.cpp)
set(TOVLINK_POSIX_SOURCES transport/platform_posix.cpp transport/posix_custom_baud.cpp)
set(TOVLINK_WIN32_SOURCES transport/platform_win32.cpp)
