// The connection record and its I/O worker: the worker alone touches the
// device, moving bytes between it and the two queues.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "frame/session.h"
#include "transport/platform.h"
#include "transport/queue.h"

namespace tovlink {

// What the worker stores in io_fault.  Diagnostic state only: nothing reports
// it to the host; its visible effect is lost bytes or replies that never come.
inline constexpr const char k_fault_read[] = "ReadFile failed.";
inline constexpr const char k_fault_recv_full[] = "q_recv is fully filled. (>_<)";
inline constexpr const char k_fault_write[] = "WriteFile failed.";
inline constexpr const char k_fault_write_spilled[] = "WriteFile spilled some of q_send.";

struct serial_t {
  std::unique_ptr<platform::serial_device> port;  // holds the line settings too
  std::thread worker;
  // Non-zero while the worker should keep looping; cleared by serial_close,
  // or by the worker itself when it leaves its loop.
  std::atomic<int32_t> running{0};
  std::mutex send_lock;  // guards q_send
  std::mutex recv_lock;  // guards q_recv
  queue_t *q_recv = nullptr;
  queue_t *q_send = nullptr;
  const char *device_path = nullptr;  // only valid during serial_open
  std::atomic<const char *> io_fault{nullptr};
  // Bumped (under recv_lock) each time the host discards what it has not
  // read; a chunk the worker read before the bump is dropped, not queued.
  std::atomic<uint32_t> recv_epoch{0};
  // Event mode (the session's event_driven when it opened the port): the
  // worker waits on the device and on queued lines instead of a 1 ms grid,
  // and raises host_wake whenever it queued received bytes or stopped.
  bool event_driven = false;
  host_wake *wake_host = nullptr;

  serial_t() = default;
  ~serial_t();
  serial_t(const serial_t &) = delete;
  serial_t &operator=(const serial_t &) = delete;
};

// Opens and sets up the device at `path`, creates the queues and starts the
// worker.  Null on any failure, with everything already taken undone; prints
// "LastError=0x<error>" through the session when the system refused to open
// the device, and keeps that error in s.open_system_error.
// The device is opened through s.open_device when set, and s.on_open sees
// the record before its worker starts.
serial_t *serial_open(session &s, const char *path, int32_t baud);

// Drops every received byte the host has not taken: what waits in q_recv and
// a chunk the worker has read but not queued yet.
void serial_discard_input(serial_t *serial);

// Tells an event-mode worker that lines wait in q_send; nothing for a paced
// worker, whose next pass finds them.
void serial_notify_queued(serial_t *serial);

// True while the worker runs; false once it stopped on a device failure (or
// was stopped by serial_close).
bool serial_running(const serial_t *serial);

// Stops the worker, waits until it has ended, then releases the device, the
// queues and the record.
void serial_close(serial_t *serial);

}  // namespace tovlink
