#include "transport/serial.h"

#include <chrono>
#include <new>
#include <system_error>

#include "frame/diagnostics.h"

namespace tovlink {
namespace {

// One direction's chunk that has been read (or taken) on one pass and is
// handed on (or written) on a later one.
struct pending_chunk {
  uint8_t bytes[k_chunk_size];
  uint32_t count = 0;
  bool pending = false;
  uint32_t epoch = 0;  // receive side: the discard epoch when it was read
};

void set_fault(serial_t *serial, const char *fault) {
  serial->io_fault.store(fault, std::memory_order_release);
}

// Receive side of one pass.  False when the device failed.
bool move_received(serial_t *serial, pending_chunk &chunk) {
  if (!chunk.pending) {
    // Taken before the read: bytes read after a discard must not count as
    // read before it.
    chunk.epoch = serial->recv_epoch.load(std::memory_order_acquire);
    if (!serial->port->read_available(chunk.bytes, k_chunk_size, &chunk.count)) {
      set_fault(serial, k_fault_read);
      return false;
    }
    chunk.pending = chunk.count > 0;
    return true;
  }
  // The host side may hold the lock; the chunk then waits for a later pass.
  if (!serial->recv_lock.try_lock()) return true;
  bool stale = chunk.epoch != serial->recv_epoch.load(std::memory_order_acquire);
  uint32_t stored = stale ? chunk.count : queue_push(serial->q_recv, chunk.bytes, chunk.count);
  serial->recv_lock.unlock();
  if (stored < chunk.count) set_fault(serial, k_fault_recv_full);
  chunk.pending = false;
  return true;
}

// Send side of one pass.  False when the device failed.
bool move_sent(serial_t *serial, pending_chunk &chunk) {
  if (chunk.pending) {
    uint32_t written = 0;
    if (!serial->port->write(chunk.bytes, chunk.count, &written, serial->running)) {
      set_fault(serial, k_fault_write);
      return false;
    }
    if (written < chunk.count) set_fault(serial, k_fault_write_spilled);
    chunk.pending = false;
    return true;
  }
  if (!serial->send_lock.try_lock()) return true;
  chunk.count = queue_pop(serial->q_send, chunk.bytes, k_chunk_size);
  serial->send_lock.unlock();
  chunk.pending = true;
  return true;
}

// Passes keep to a fixed grid of 1 ms steps.  Sleeping until the next step,
// rather than for 1 ms after each pass, keeps the pass's own work and the
// lateness of each wake-up from stretching every period.  A worker held up
// past a whole step (preempted, a slow write) starts a new grid from now
// rather than running the missed passes back to back.
class pass_grid {
 public:
  static constexpr std::chrono::milliseconds k_step{1};

  void wait_for_next_pass() {
    auto now = std::chrono::steady_clock::now();
    if (next_pass_ <= now) next_pass_ = now + k_step;
    platform::sleep_until(next_pass_);
    next_pass_ += k_step;
  }

 private:
  std::chrono::steady_clock::time_point next_pass_ = std::chrono::steady_clock::now() + k_step;
};

void serial_worker(serial_t *serial) {
  platform::prepare_worker_thread();
  pending_chunk received;
  pending_chunk to_send;
  pass_grid passes;
  while (serial->running.load(std::memory_order_acquire) != 0) {
    if (!move_received(serial, received)) break;
    if (!move_sent(serial, to_send)) break;
    passes.wait_for_next_pass();
  }
  serial->running.store(0, std::memory_order_release);
}

void raise_host_wake(serial_t *serial) {
  if (serial->wake_host != nullptr) serial->wake_host->raise();
}

// Event mode, receive side: reads until the device has nothing more, queuing
// each chunk at once.  False when the device failed.
bool drain_device(serial_t *serial) {
  uint8_t chunk[k_chunk_size];
  for (;;) {
    // Taken before the read, as in the paced worker.
    uint32_t epoch = serial->recv_epoch.load(std::memory_order_acquire);
    uint32_t count = 0;
    if (!serial->port->read_available(chunk, k_chunk_size, &count)) {
      set_fault(serial, k_fault_read);
      return false;
    }
    if (count == 0) return true;
    uint32_t stored = count;
    {
      std::lock_guard<std::mutex> guard(serial->recv_lock);
      if (epoch == serial->recv_epoch.load(std::memory_order_acquire)) {
        stored = queue_push(serial->q_recv, chunk, count);
      }
    }
    if (stored < count) set_fault(serial, k_fault_recv_full);
    raise_host_wake(serial);
    if (count < k_chunk_size) return true;
  }
}

// Event mode, send side: writes everything queued.  False when the device
// failed.
bool flush_queued(serial_t *serial) {
  uint8_t chunk[k_chunk_size];
  while (serial->running.load(std::memory_order_acquire) != 0) {
    uint32_t count = 0;
    {
      std::lock_guard<std::mutex> guard(serial->send_lock);
      count = queue_pop(serial->q_send, chunk, k_chunk_size);
    }
    if (count == 0) return true;
    uint32_t written = 0;
    if (!serial->port->write(chunk, count, &written, serial->running)) {
      set_fault(serial, k_fault_write);
      return false;
    }
    if (written < count) set_fault(serial, k_fault_write_spilled);
  }
  return true;
}

// Sleeps until the port is readable or a line is queued, so an idle
// connection costs no wake-ups and a reply is queued as soon as it arrives.
// No zero-length writes: nothing needs them to keep a link up.
void event_worker(serial_t *serial) {
  while (serial->running.load(std::memory_order_acquire) != 0) {
    if (!drain_device(serial)) break;
    if (!flush_queued(serial)) break;
    serial->port->wait_for_input();
  }
  serial->running.store(0, std::memory_order_release);
  // A host waiting for a reply learns at once that none can come.
  raise_host_wake(serial);
}

}  // namespace

serial_t::~serial_t() {
  queue_delete(q_send);
  queue_delete(q_recv);
}

serial_t *serial_open(session &s, const char *path, int32_t baud) {
  s.open_system_error = 0;
  auto *serial = new (std::nothrow) serial_t;
  if (serial == nullptr) return nullptr;
  serial->device_path = path;
  platform::open_result opened;
  try {
    if (s.open_device != nullptr) {
      opened = s.open_device(path, baud);
    } else if (s.event_driven) {
      opened = platform::open_event_serial_device(path, baud);
    } else {
      opened = platform::open_serial_device(path, baud);
    }
  } catch (...) {
    delete serial;
    throw;
  }
  if (opened.refused_by_system) {
    s.open_system_error = opened.system_error;
    log_line(s, "LastError=0x%08lx\n", opened.system_error & 0xFFFFFFFFul);
  }
  serial->port = std::move(opened.device);
  serial->q_send = queue_new();
  serial->q_recv = queue_new();
  if (serial->port == nullptr || serial->q_send == nullptr || serial->q_recv == nullptr) {
    delete serial;
    return nullptr;
  }
  serial->event_driven = s.event_driven;
  if (serial->event_driven) serial->wake_host = &s.wake;
  if (s.on_open != nullptr) s.on_open(serial);
  serial->running.store(1, std::memory_order_release);
  try {
    serial->worker = std::thread(serial->event_driven ? event_worker : serial_worker, serial);
  } catch (...) {  // no thread to be had, or no memory for its start-up
    delete serial;
    return nullptr;
  }
  return serial;
}

void serial_discard_input(serial_t *serial) {
  uint8_t scratch[k_chunk_size];
  std::lock_guard<std::mutex> guard(serial->recv_lock);
  while (queue_pop(serial->q_recv, scratch, sizeof scratch) > 0) {
  }
  serial->recv_epoch.fetch_add(1, std::memory_order_acq_rel);
}

void serial_notify_queued(serial_t *serial) {
  if (serial->event_driven) serial->port->interrupt_wait();
}

bool serial_running(const serial_t *serial) {
  return serial->running.load(std::memory_order_acquire) != 0;
}

void serial_close(serial_t *serial) {
  serial->running.store(0, std::memory_order_release);
  if (serial->event_driven) serial->port->interrupt_wait();
  if (serial->worker.joinable()) serial->worker.join();
  delete serial;
}

}  // namespace tovlink
