// Host side of the transport: queue a line, collect a reply line with a
// polling time-out, and the command exchange that joins them.  None of these
// touch the device; the I/O worker does.
#pragma once

#include <cstdint>

namespace tovlink {

inline constexpr uint32_t k_line_buffer_size = 128;
// Polls of 1 ms each that a robot exchange waits for its reply.
inline constexpr uint32_t k_robot_reply_polls = 1500;
// Replies longer than this may be status lines and go to parse_status.
inline constexpr uint32_t k_status_min_length = 22;

// Queues `text` unchanged on the current connection.  Returns (and leaves in
// g_last_error) 0; 10002 for a null text; 1 with no connection; 10003 when
// the text is 128 bytes or longer (refused whole) or did not all fit the
// send queue (the part that fitted stays queued and is sent).
uint32_t send_line(const uint32_t *handle, const char *text);

// Collects a reply into buffer until the last byte collected is a line
// feed, polling the receive queue every 1 ms up to `polls` times.  Returns
// the number of bytes received (or 1, the code, with no connection); leaves
// 10005 in g_last_error on a time-out or when a chunk would not fit `size`
// (that chunk is dropped whole).  No terminating zero is added.  Replies
// longer than 22 bytes go through parse_status, complete or not.
uint32_t recv_line(const uint32_t *handle, uint8_t *buffer, uint64_t size, uint32_t polls);

// Sends `command` followed by one carriage return and waits 1500 polls for
// one reply line.  Returns 0, or 0xFFFFFFFF after printing
// "g_last_error=<code>" with the underlying code (left in g_last_error).
uint32_t transact(const uint32_t *handle, const char *command);

}  // namespace tovlink
