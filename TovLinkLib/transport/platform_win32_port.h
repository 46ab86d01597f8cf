// What the two Win32 serial devices share: the plain one the C API's paced
// worker uses (platform_win32.cpp) and the overlapped one sessions wait on
// (platform_win32_event_port.cpp).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>

#include "transport/platform.h"

namespace tovlink::platform::win32 {

// Opens `path` for reading and writing, shared with nobody, with the given
// CreateFileA flags.  INVALID_HANDLE_VALUE when the system refuses; `result`
// then carries the refusal and GetLastError().
HANDLE open_port(const char *path, DWORD flags, open_result &result);

// 8 data bits, no parity, the caller's baud rate; everything else (stop
// bits, flow control) stays as the driver reports it.  GetCommState's result
// is not checked: a driver that cannot report its state still gets the
// fields set here, and SetCommState has the last word.  Then `timeouts`.
bool apply_line_settings(HANDLE handle, int32_t baud, const COMMTIMEOUTS &timeouts);

}  // namespace tovlink::platform::win32
