#include "protocol/line_exchange.h"

#include <cstring>
#include <mutex>

#include "frame/diagnostics.h"
#include "frame/library_state.h"
#include "protocol/status_line.h"
#include "transport/platform.h"
#include "transport/serial.h"

namespace tovlink {
namespace {

uint32_t take_received_chunk(uint8_t (&chunk)[k_chunk_size]) {
  std::memset(chunk, 0, sizeof chunk);
  std::lock_guard<std::mutex> guard(g_serial_t->recv_lock);
  return queue_pop(g_serial_t->q_recv, chunk, k_chunk_size);
}

}  // namespace

uint32_t send_line(const uint32_t *handle, const char *text) {
  g_last_error = TOVLINK_OK;
  if (text == nullptr) return g_last_error = TOVLINK_ERR_SEND_NULL;
  if (!check_handle(handle)) {
    log_last_error();
    return TOVLINK_ERR_NO_CONNECTION;
  }
  char line[k_line_buffer_size];
  std::size_t length = strnlen(text, sizeof line);
  // A text that does not fit the line buffer is refused rather than cut.
  if (length >= sizeof line) return g_last_error = TOVLINK_ERR_SEND_QUEUE;
  std::memcpy(line, text, length);
  uint32_t queued = 0;
  {
    std::lock_guard<std::mutex> guard(g_serial_t->send_lock);
    queued = queue_push(g_serial_t->q_send, reinterpret_cast<const uint8_t *>(line),
                        static_cast<uint32_t>(length));
  }
  if (queued < length) return g_last_error = TOVLINK_ERR_SEND_QUEUE;
  return TOVLINK_OK;
}

uint32_t recv_line(const uint32_t *handle, uint8_t *buffer, uint64_t size, uint32_t polls) {
  g_last_error = TOVLINK_OK;
  if (!check_handle(handle)) {
    log_last_error();
    return TOVLINK_ERR_NO_CONNECTION;
  }
  uint32_t received = 0;
  for (uint32_t tries = 0;;) {
    uint8_t chunk[k_chunk_size];
    uint32_t count = take_received_chunk(chunk);
    if (count > 0) {
      if (uint64_t{received} + count > size) {
        g_last_error = TOVLINK_ERR_RECEIVE;
        break;
      }
      std::memcpy(buffer + received, chunk, count);
      received += count;
      if (buffer[received - 1] == '\n') break;
    }
    platform::sleep_milliseconds(1);
    if (++tries >= polls) {
      log_stdout_line("[Err] Detect timeout.\n");
      g_last_error = TOVLINK_ERR_RECEIVE;
      break;
    }
  }
  if (received > k_status_min_length) parse_status(buffer, received);
  return received;
}

uint32_t transact(const uint32_t *handle, const char *command) {
  char command_line[k_line_buffer_size] = {};
  uint8_t reply[k_line_buffer_size] = {};
  if (command == nullptr) {
    g_last_error = TOVLINK_ERR_SEND_NULL;
  } else if (!format_command(command_line, sizeof command_line, "%s\r", command)) {
    g_last_error = TOVLINK_ERR_SEND_QUEUE;
  } else {
    send_line(handle, command_line);
  }
  if (g_last_error != TOVLINK_OK) {
    log_last_error();
    return TOVLINK_ERR_EXCHANGE;
  }
  recv_line(handle, reply, sizeof reply, k_robot_reply_polls);
  if (g_last_error != TOVLINK_OK) {
    log_last_error();
    return TOVLINK_ERR_EXCHANGE;
  }
  return TOVLINK_OK;
}

}  // namespace tovlink
