// Win32 serial devices, sleeps and version: COM ports through CreateFileA with
// non-blocking reads, 1 ms sleeps that really last about 1 ms, and the
// version read back from the DLL's own version resource.
#include "transport/platform_win32_port.h"
// windows.h (through platform_win32_port.h) first: the headers below rely on
// its types.
#include <mmsystem.h>
#include <winver.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <ratio>

// Older mingw-w64 headers lack the flag; the value is the system's.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace tovlink::platform {
namespace {

// "\\.\" plus at most 11 characters and the terminating zero.
constexpr std::size_t k_win32_path_size = 16;

// The module whose version resource holds the library's version.
constexpr char k_module_name[] = "TovLinkLib.dll";

// Sleep() waits for the next tick of the system timer, 15.6 ms by default,
// which would stretch every 1 ms poll of the worker and of the line exchange
// sixteenfold.  A high-resolution waitable timer (Windows 10 1803 and later)
// wakes on time without touching the system-wide tick; where there is none,
// each open connection raises the tick to 1 ms with timeBeginPeriod and
// lowers it again when it closes.
HANDLE create_high_resolution_timer() {
  return CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                TIMER_ALL_ACCESS);
}

bool high_resolution_timers_available() {
  static const bool available = [] {
    HANDLE timer = create_high_resolution_timer();
    if (timer == nullptr) return false;
    CloseHandle(timer);
    return true;
  }();
  return available;
}

// Waitable timers count in units of 100 ns.
using timer_ticks = std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>;

// One timer per sleep: creating it costs a few microseconds, far below the
// millisecond slept, and nothing is left behind per thread.
bool sleep_on_high_resolution_timer(timer_ticks duration) {
  HANDLE timer = create_high_resolution_timer();
  if (timer == nullptr) return false;
  LARGE_INTEGER due{};
  // Negative: relative to now.
  due.QuadPart = -duration.count();
  bool slept = SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != 0 &&
               WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
  CloseHandle(timer);
  return slept;
}

// The C API's device: opened for plain (not overlapped) I/O and read on its
// worker's 1 ms passes.
class win32_serial_device final : public serial_device {
 public:
  explicit win32_serial_device(HANDLE handle) : handle_(handle) {
    if (!high_resolution_timers_available()) {
      fine_system_tick_ = timeBeginPeriod(1) == TIMERR_NOERROR;
    }
  }
  ~win32_serial_device() override {
    CloseHandle(handle_);
    if (fine_system_tick_) timeEndPeriod(1);
  }
  win32_serial_device(const win32_serial_device &) = delete;
  win32_serial_device &operator=(const win32_serial_device &) = delete;

  // MAXDWORD between bytes and no totals: ReadFile returns at once with
  // whatever has arrived, possibly nothing, and WriteFile has no time limit.
  bool apply_line_settings(int32_t baud) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    return win32::apply_line_settings(handle_, baud, timeouts);
  }

  bool read_available(uint8_t *buffer, uint32_t capacity, uint32_t *count) override {
    *count = 0;
    DWORD received = 0;
    if (!ReadFile(handle_, buffer, capacity, &received, nullptr)) return false;
    *count = received;
    return true;
  }

  // With no write time-out WriteFile returns only once the driver has taken
  // every byte, so a device that holds the bytes back (flow control) holds
  // the worker here, and `running` cannot cut the wait short: tovlink.h tells
  // the host.  A write time-out would bound the wait but also drop bytes from
  // a merely slow device.
  bool write(const uint8_t *bytes, uint32_t count, uint32_t *written,
             const std::atomic<int32_t> & /*running*/) override {
    *written = 0;
    while (*written < count) {
      DWORD sent = 0;
      if (!WriteFile(handle_, bytes + *written, count - *written, &sent, nullptr)) return false;
      if (sent == 0) return true;  // the driver took nothing: report what went out
      *written += sent;
    }
    return true;
  }

 private:
  HANDLE handle_;
  bool fine_system_tick_ = false;
};

}  // namespace

bool build_device_path(const char *port_name, char (&path)[k_device_path_capacity]) {
  path[0] = '\0';
  if (port_name == nullptr) return false;
  char device[k_win32_path_size];
  int length = std::snprintf(device, sizeof device, "\\\\.\\%s", port_name);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof device) return false;
  std::memcpy(path, device, static_cast<std::size_t>(length) + 1);
  return true;
}

namespace win32 {

HANDLE open_port(const char *path, DWORD flags, open_result &result) {
  HANDLE handle =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    result.refused_by_system = true;
    result.system_error = GetLastError();
  }
  return handle;
}

bool apply_line_settings(HANDLE handle, int32_t baud, const COMMTIMEOUTS &timeouts) {
  DCB settings{};
  settings.DCBlength = sizeof settings;
  GetCommState(handle, &settings);
  settings.BaudRate = static_cast<DWORD>(baud);
  settings.ByteSize = 8;
  settings.Parity = NOPARITY;
  if (!SetCommState(handle, &settings)) return false;
  COMMTIMEOUTS copy = timeouts;
  return SetCommTimeouts(handle, &copy) != 0;
}

}  // namespace win32

open_result open_serial_device(const char *path, int32_t baud) {
  open_result result;
  HANDLE handle = win32::open_port(path, FILE_ATTRIBUTE_NORMAL, result);
  if (handle == INVALID_HANDLE_VALUE) return result;
  auto device = std::make_unique<win32_serial_device>(handle);
  if (device->apply_line_settings(baud)) result.device = std::move(device);
  return result;
}

void sleep_milliseconds(uint32_t milliseconds) {
  if (milliseconds == 0) return;
  if (high_resolution_timers_available() &&
      sleep_on_high_resolution_timer(std::chrono::milliseconds{milliseconds})) {
    return;
  }
  Sleep(milliseconds);
}

void sleep_until(std::chrono::steady_clock::time_point deadline) {
  auto remaining = deadline - std::chrono::steady_clock::now();
  if (remaining <= std::chrono::steady_clock::duration::zero()) return;
  // Rounded up, so the wake-up is never before the deadline.
  if (high_resolution_timers_available() &&
      sleep_on_high_resolution_timer(std::chrono::ceil<timer_ticks>(remaining))) {
    return;
  }
  Sleep(static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(remaining).count()));
}

void prepare_worker_thread() {
  // Nothing to set per thread: each sleep makes its own timer.
}

bool read_library_version(uint16_t (&parts)[4]) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(k_module_name, &ignored);
  if (size == 0) return false;
  // No exception may leave the C interface: a failed allocation is a failed read.
  std::unique_ptr<unsigned char[]> info(new (std::nothrow) unsigned char[size]);
  if (info == nullptr || !GetFileVersionInfoA(k_module_name, 0, size, info.get())) return false;
  void *value = nullptr;
  UINT value_size = 0;
  if (!VerQueryValueA(info.get(), "\\", &value, &value_size) || value == nullptr ||
      value_size < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(value);
  parts[0] = HIWORD(fixed->dwFileVersionMS);
  parts[1] = LOWORD(fixed->dwFileVersionMS);
  parts[2] = HIWORD(fixed->dwFileVersionLS);
  parts[3] = LOWORD(fixed->dwFileVersionLS);
  return true;
}

}  // namespace tovlink::platform
