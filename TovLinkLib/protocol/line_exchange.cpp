#include "protocol/line_exchange.h"

#include <chrono>
#include <cstring>
#include <mutex>

#include "frame/diagnostics.h"
#include "frame/library_state.h"
#include "protocol/status_line.h"
#include "transport/platform.h"
#include "transport/serial.h"

namespace tovlink {
namespace {

uint32_t take_received_chunk(serial_t *serial, uint8_t (&chunk)[k_chunk_size]) {
  std::memset(chunk, 0, sizeof chunk);
  std::lock_guard<std::mutex> guard(serial->recv_lock);
  return queue_pop(serial->q_recv, chunk, k_chunk_size);
}

// Why a C++ session stops waiting before its polls run out, or 0.
uint32_t early_end(session &s) {
  if (s.fail_fast_on_lost_link && !serial_running(s.serial)) return k_code_link_lost;
  if (s.cancelled()) return k_code_cancelled;
  return TOVLINK_OK;
}

// Appends a chunk taken from q_recv.  True when the wait is over: the reply
// is complete, or the chunk did not fit (10005 left in s.last_error).
bool append_chunk(session &s, uint8_t *buffer, uint64_t size, uint32_t &received,
                  const uint8_t *chunk, uint32_t count) {
  if (uint64_t{received} + count > size) {
    s.last_error = TOVLINK_ERR_RECEIVE;
    return true;
  }
  std::memcpy(buffer + received, chunk, count);
  received += count;
  return buffer[received - 1] == '\n';
}

void time_out(session &s) {
  log_stdout_line(s, "[Err] Detect timeout.\n");
  s.last_error = TOVLINK_ERR_RECEIVE;
}

// The C API's wait: one look at q_recv per 1 ms sleep, `polls` times.
uint32_t receive_on_polls(session &s, uint8_t *buffer, uint64_t size, uint32_t polls) {
  uint32_t received = 0;
  for (uint32_t tries = 0;;) {
    uint8_t chunk[k_chunk_size];
    uint32_t count = take_received_chunk(s.serial, chunk);
    if (count > 0) {
      if (append_chunk(s, buffer, size, received, chunk, count)) break;
    } else if (uint32_t reason = early_end(s); reason != TOVLINK_OK) {
      s.last_error = reason;
      break;
    }
    platform::sleep_milliseconds(1);
    if (++tries >= polls) {
      time_out(s);
      break;
    }
  }
  return received;
}

// An event-mode session's wait: sleeps until the worker queues bytes or
// stops, or a cancel request, for at most `polls` milliseconds in all.
uint32_t receive_on_events(session &s, uint8_t *buffer, uint64_t size, uint32_t polls) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(polls);
  uint32_t received = 0;
  for (;;) {
    // Read before looking at the queue: a raise after the look changes it.
    uint64_t seen = s.wake.generation();
    uint8_t chunk[k_chunk_size];
    uint32_t count = take_received_chunk(s.serial, chunk);
    if (count > 0) {
      if (append_chunk(s, buffer, size, received, chunk, count)) break;
      continue;
    }
    if (uint32_t reason = early_end(s); reason != TOVLINK_OK) {
      s.last_error = reason;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      time_out(s);
      break;
    }
    s.wake.wait_past(seen, deadline);
  }
  return received;
}

}  // namespace

uint32_t send_line(session &s, const char *text) {
  s.last_error = TOVLINK_OK;
  if (text == nullptr) return s.last_error = TOVLINK_ERR_SEND_NULL;
  if (!check_connection(s)) {
    log_last_error(s);
    return TOVLINK_ERR_NO_CONNECTION;
  }
  char line[k_line_buffer_size];
  std::size_t length = strnlen(text, sizeof line);
  // A text that does not fit the line buffer is refused rather than cut.
  if (length >= sizeof line) return s.last_error = TOVLINK_ERR_SEND_QUEUE;
  std::memcpy(line, text, length);
  uint32_t queued = 0;
  {
    std::lock_guard<std::mutex> guard(s.serial->send_lock);
    queued = queue_push(s.serial->q_send, reinterpret_cast<const uint8_t *>(line),
                        static_cast<uint32_t>(length));
  }
  // The part that fitted is sent either way.
  serial_notify_queued(s.serial);
  if (queued < length) return s.last_error = TOVLINK_ERR_SEND_QUEUE;
  return TOVLINK_OK;
}

uint32_t recv_line(session &s, uint8_t *buffer, uint64_t size, uint32_t polls) {
  s.last_error = TOVLINK_OK;
  if (!check_connection(s)) {
    log_last_error(s);
    return TOVLINK_ERR_NO_CONNECTION;
  }
  uint32_t received = s.serial->event_driven ? receive_on_events(s, buffer, size, polls)
                                             : receive_on_polls(s, buffer, size, polls);
  if (received > k_status_min_length) parse_status(s.telemetry, buffer, received);
  return received;
}

void discard_stale_input(session &s) {
  if (s.serial != nullptr) serial_discard_input(s.serial);
}

uint32_t transact(session &s, const char *command, char (*reply_out)[k_line_buffer_size]) {
  char command_line[k_line_buffer_size] = {};
  uint8_t reply[k_line_buffer_size] = {};
  s.exchange_failure = TOVLINK_OK;
  s.exchange_sent = false;
  if (command == nullptr) {
    s.last_error = TOVLINK_ERR_SEND_NULL;
  } else if (!format_command(command_line, sizeof command_line, "%s\r", command)) {
    s.last_error = TOVLINK_ERR_SEND_QUEUE;
  } else if (uint32_t reason = s.serial != nullptr ? early_end(s) : TOVLINK_OK; reason != 0) {
    s.last_error = reason;
  } else {
    discard_stale_input(s);
    send_line(s, command_line);
  }
  if (s.last_error != TOVLINK_OK) {
    s.exchange_failure = s.last_error;
    log_last_error(s);
    return TOVLINK_ERR_EXCHANGE;
  }
  s.exchange_sent = true;
  recv_line(s, reply, sizeof reply, k_robot_reply_polls);
  if (s.last_error != TOVLINK_OK) {
    s.exchange_failure = s.last_error;
    log_last_error(s);
    return TOVLINK_ERR_EXCHANGE;
  }
  if (reply_out != nullptr) {
    // Always zero-terminated: a reply of the whole 128 bytes loses its last.
    std::memcpy(*reply_out, reply, sizeof reply - 1);
    (*reply_out)[sizeof reply - 1] = '\0';
  }
  return TOVLINK_OK;
}

}  // namespace tovlink
