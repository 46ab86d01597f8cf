// The narrow interface between the portable transport and the operating
// system: one implementation per platform, each in its own file
// (platform_posix.cpp, platform_win32.cpp).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tovlink::platform {

// Room for a device path on every platform; each platform applies its own,
// possibly smaller, limit when it builds the path.
inline constexpr std::size_t k_device_path_capacity = 256;

// Builds the device path for a host's port name.  Returns false for a null
// name or one whose path does not fit: a shortened name could open another
// port, so it is refused, never cut.
bool build_device_path(const char *port_name, char (&path)[k_device_path_capacity]);

// Sleeps at least `milliseconds`, as close to it as the system allows.
void sleep_milliseconds(uint32_t milliseconds);

// An open serial device in raw mode: bytes pass unchanged both ways.
class serial_device {
 public:
  virtual ~serial_device() = default;

  // Takes the bytes already received, at most `capacity`, without waiting;
  // none waiting is success with *count 0.  False on a device error (the
  // device went away).
  virtual bool read_available(uint8_t *buffer, uint32_t capacity, uint32_t *count) = 0;

  // Writes `count` bytes, reporting in *written how many went out.  A device
  // that holds the bytes back is waited for while `running` stays non-zero;
  // once it is cleared the write gives up within about a millisecond, so a
  // closing connection never hangs on flow control.  False on a device error.
  virtual bool write(const uint8_t *bytes, uint32_t count, uint32_t *written,
                     const std::atomic<int32_t> &running) = 0;

  // For workers that wait on events: blocks until bytes may be waiting to
  // be read, the device reports a hang-up or error, or interrupt_wait() is
  // called (before or during the wait).  It may return early for no reason;
  // the caller reads and looks again.  A device without a way to wait keeps
  // the polling pace: it returns after about a millisecond.
  virtual void wait_for_input() { sleep_milliseconds(1); }

  // Ends the current or the next wait_for_input at once.  Callable from any
  // thread while the device is open.
  virtual void interrupt_wait() {}
};

struct open_result {
  std::unique_ptr<serial_device> device;  // null on failure
  bool refused_by_system = false;         // the open itself failed (not the settings)
  unsigned long system_error = 0;         // the system's error number when refused
};

// Opens `path` exclusively (a second open, from any process, fails), sets the
// baud rate, 8 data bits and no parity, keeps stop bits and hardware flow
// control as found, makes reads non-blocking.
open_result open_serial_device(const char *path, int32_t baud);

// The same, for a worker that waits on events (wait_for_input): where the
// system needs a different kind of handle for that (Windows: overlapped I/O),
// this opener makes it; elsewhere it is open_serial_device.
open_result open_event_serial_device(const char *path, int32_t baud);

// Sleeps until `deadline` (returns at once when it has passed), waking as
// close to it as the system allows.  The I/O worker paces its passes with it.
void sleep_until(std::chrono::steady_clock::time_point deadline);

// Called once on the I/O worker thread before its first pass, to make its
// 1 ms sleeps as exact as the platform allows.
void prepare_worker_thread();

// The library's own version numbers: major, minor, build, revision.
bool read_library_version(uint16_t (&parts)[4]);

}  // namespace tovlink::platform
