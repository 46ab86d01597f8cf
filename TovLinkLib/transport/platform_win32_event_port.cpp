// The Win32 serial device that sessions' I/O workers wait on: the port is
// opened for overlapped I/O, one read of a single byte stays posted while the
// worker sleeps, and the worker wakes on that read's completion or on its own
// wake-up event (a queued line, a close).  An idle session's worker makes no
// system call at all, and a reply is handed on as soon as its first byte
// lands.
//
// Why a single byte: with the time-outs that make a read return on the first
// byte with whatever else has arrived (MAXDWORD, MAXDWORD, a constant), not
// every serial layer obliges: Wine's, for one, waits for the whole buffer or
// the time-out instead.  A read of one byte with no time-outs completes on the
// first byte everywhere; the rest is then taken at once, as much as
// ClearCommError reports waiting.
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>

#include "transport/platform_win32_port.h"

namespace tovlink::platform {
namespace {

// A manual-reset event for an OVERLAPPED, or an auto-reset one for wake-ups.
HANDLE new_event(bool manual_reset) {
  return CreateEventW(nullptr, manual_reset ? TRUE : FALSE, FALSE, nullptr);
}

class win32_event_serial_device final : public serial_device {
 public:
  explicit win32_event_serial_device(HANDLE handle)
      : handle_(handle),
        wake_(new_event(false)),
        read_done_(new_event(true)),
        drain_done_(new_event(true)),
        write_done_(new_event(true)) {}

  ~win32_event_serial_device() override {
    // The posted read writes into this object when it completes: it must
    // have ended before the object goes.
    if (read_posted_) {
      CancelIoEx(handle_, &read_);
      DWORD ignored = 0;
      GetOverlappedResult(handle_, &read_, &ignored, TRUE);
    }
    for (HANDLE event : {wake_, read_done_, drain_done_, write_done_}) {
      if (event != nullptr) CloseHandle(event);
    }
    CloseHandle(handle_);
  }
  win32_event_serial_device(const win32_event_serial_device &) = delete;
  win32_event_serial_device &operator=(const win32_event_serial_device &) = delete;

  bool has_events() const {
    return wake_ != nullptr && read_done_ != nullptr && drain_done_ != nullptr &&
           write_done_ != nullptr;
  }

  // No time-outs at all: a read ends when it has every byte it asked for,
  // and a write when the driver has taken every byte.
  bool apply_line_settings(int32_t baud) {
    COMMTIMEOUTS timeouts{};
    return win32::apply_line_settings(handle_, baud, timeouts);
  }

  // The byte of a completed posted read first, then what the driver holds.
  bool read_available(uint8_t *buffer, uint32_t capacity, uint32_t *count) override {
    *count = 0;
    if (posted_read_failed_) return false;
    if (capacity == 0) return true;
    if (read_posted_) {
      DWORD received = 0;
      if (!GetOverlappedResult(handle_, &read_, &received, FALSE)) {
        DWORD error = GetLastError();
        // Still waiting for its byte: nothing has arrived (an arriving byte
        // goes to the posted read first).
        if (error == ERROR_IO_INCOMPLETE) return true;
        // Aborted without a byte: the thread that posted it has ended
        // (Windows cancels a thread's I/O when it exits), or a line error
        // stopped the port's I/O (a driver set to abort on errors), which
        // ClearCommError below clears.  The next wait posts a new read.
        // Any other error is the device's.
        if (error != ERROR_OPERATION_ABORTED) return false;
        received = 0;
      }
      read_posted_ = false;
      if (received == 1) buffer[(*count)++] = first_byte_;
    }
    // Nothing posted (the worker has not slept yet) or its byte taken: the
    // driver's queue says what else has arrived.
    return take_waiting(buffer + *count, capacity - *count, count);
  }

  // Overlapped write, waited for while `running` stays set; once it is
  // cleared (a close, announced through interrupt_wait) the write is
  // cancelled and reports what went out, so a device that holds the bytes
  // back cannot hold a closing session.
  bool write(const uint8_t *bytes, uint32_t count, uint32_t *written,
             const std::atomic<int32_t> &running) override {
    *written = 0;
    while (*written < count) {
      DWORD sent = 0;
      bool finished = false;
      if (!start_write(bytes + *written, count - *written, &sent, &finished)) return false;
      if (!finished && !finish_write(running, &sent)) return false;
      if (sent == 0) return true;  // the driver took nothing: report what went out
      *written += sent;
      if (running.load(std::memory_order_acquire) == 0) return true;
    }
    return true;
  }

  // Posts the one-byte read unless it is posted already, then sleeps until
  // it completes or interrupt_wait is called.
  void wait_for_input() override {
    if (!read_posted_ && !post_read()) return;  // ended at once: bytes or an error
    HANDLE either[2] = {read_done_, wake_};
    WaitForMultipleObjects(2, either, FALSE, INFINITE);
  }

  void interrupt_wait() override { SetEvent(wake_); }

 private:
  // False when the read has already ended (a byte was there, or the device
  // failed): read_available then takes the byte or reports the failure.
  bool post_read() {
    // A second try after clearing a line error that stopped the port's I/O.
    for (int attempt = 0; attempt < 2; ++attempt) {
      read_ = OVERLAPPED{};
      read_.hEvent = read_done_;
      DWORD received = 0;
      if (ReadFile(handle_, &first_byte_, 1, &received, &read_)) {
        read_posted_ = true;  // completed at once; its result is collected as any other
        return false;
      }
      DWORD error = GetLastError();
      if (error == ERROR_IO_PENDING) {
        read_posted_ = true;
        return true;
      }
      if (error != ERROR_OPERATION_ABORTED) break;
      DWORD errors = 0;
      ClearCommError(handle_, &errors, nullptr);
    }
    posted_read_failed_ = true;
    return false;
  }

  // Reads what the driver reports waiting, at most `capacity`; those bytes
  // are there, so the read ends at once.
  bool take_waiting(uint8_t *buffer, uint32_t capacity, uint32_t *count) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_, &errors, &status)) return false;
    DWORD wanted = status.cbInQue < capacity ? status.cbInQue : capacity;
    if (wanted == 0) return true;
    OVERLAPPED drain{};
    drain.hEvent = drain_done_;
    DWORD received = 0;
    if (!ReadFile(handle_, buffer, wanted, &received, &drain)) {
      if (GetLastError() != ERROR_IO_PENDING) return false;
      if (!GetOverlappedResult(handle_, &drain, &received, TRUE)) return false;
    }
    *count += received;
    return true;
  }

  bool start_write(const uint8_t *bytes, uint32_t count, DWORD *sent, bool *finished) {
    write_ = OVERLAPPED{};
    write_.hEvent = write_done_;
    if (WriteFile(handle_, bytes, count, sent, &write_)) {
      *finished = true;
      return true;
    }
    return GetLastError() == ERROR_IO_PENDING;
  }

  // Waits for the posted write.  The wake-up event may be taken here; that
  // is safe, because the worker looks at the send queue and at `running`
  // again after every write before it sleeps.
  bool finish_write(const std::atomic<int32_t> &running, DWORD *sent) {
    HANDLE either[2] = {write_done_, wake_};
    for (;;) {
      DWORD woke = WaitForMultipleObjects(2, either, FALSE, INFINITE);
      if (woke == WAIT_OBJECT_0) break;
      if (woke != WAIT_OBJECT_0 + 1 || running.load(std::memory_order_acquire) == 0) {
        CancelIoEx(handle_, &write_);
        break;
      }
    }
    if (GetOverlappedResult(handle_, &write_, sent, TRUE)) return true;
    // A cancelled write still reports what went out before it.
    return GetLastError() == ERROR_OPERATION_ABORTED;
  }

  HANDLE handle_;
  HANDLE wake_;        // auto-reset: set by interrupt_wait
  HANDLE read_done_;   // manual-reset, for read_
  HANDLE drain_done_;  // manual-reset, for take_waiting's read
  HANDLE write_done_;  // manual-reset, for write_
  OVERLAPPED read_{};
  OVERLAPPED write_{};
  uint8_t first_byte_ = 0;
  bool read_posted_ = false;
  bool posted_read_failed_ = false;
};

}  // namespace

open_result open_event_serial_device(const char *path, int32_t baud) {
  open_result result;
  HANDLE handle = win32::open_port(path, FILE_FLAG_OVERLAPPED, result);
  if (handle == INVALID_HANDLE_VALUE) return result;
  std::unique_ptr<win32_event_serial_device> device(new (std::nothrow)
                                                        win32_event_serial_device(handle));
  if (device == nullptr) {
    CloseHandle(handle);
    return result;
  }
  if (device->has_events() && device->apply_line_settings(baud)) result.device = std::move(device);
  return result;
}

}  // namespace tovlink::platform
