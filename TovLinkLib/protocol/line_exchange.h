// Host side of the transport: queue a line, collect a reply line with a
// polling time-out, and the command exchange that joins them.  None of these
// touch the device; the I/O worker does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/session.h"

namespace tovlink {

inline constexpr uint32_t k_line_buffer_size = 128;
// Polls of 1 ms each that a robot exchange waits for its reply.
inline constexpr uint32_t k_robot_reply_polls = 1500;
// Replies longer than this may be status lines and go to parse_status.
inline constexpr uint32_t k_status_min_length = 22;

// Queues `text` unchanged on the session's connection.  Returns (and leaves
// in s.last_error) 0; 10002 for a null text; 1 with no connection; 10003 when
// the text is 128 bytes or longer (refused whole) or did not all fit the
// send queue (the part that fitted stays queued and is sent).
uint32_t send_line(session &s, const char *text);

// Collects a reply into buffer until the last byte collected is a line
// feed, polling the receive queue every 1 ms up to `polls` times.  Returns
// the number of bytes received (or 1, the code, with no connection); leaves
// 10005 in s.last_error on a time-out or when a chunk would not fit `size`
// (that chunk is dropped whole).  No terminating zero is added.  Replies
// longer than 22 bytes go through parse_status into the session's cache,
// complete or not.  Sessions of the C++ API also end the wait at once on a
// failed port (k_code_link_lost) or a cancel request (k_code_cancelled).
// An event-driven session sleeps until bytes arrive instead of polling, and
// takes `polls` as a time-out of as many milliseconds.
uint32_t recv_line(session &s, uint8_t *buffer, uint64_t size, uint32_t polls);

// Drops whatever the robot sent since the previous exchange ended, so that a
// reply that arrived after its own exchange gave up is never taken for the
// next one's.  Every robot exchange starts with it; the connect dialogue,
// whose waits skip the lines they don't expect, does not.
void discard_stale_input(session &s);

// A robot command exchange: discards stale input, sends `command` followed by
// one carriage return and waits 1500 polls for one reply line.  Returns 0, or
// 0xFFFFFFFF after printing "g_last_error=<code>" with the underlying code
// (left in s.last_error and s.exchange_failure).  When `reply` is given, the
// reply (zero-terminated, at most 127 bytes) is copied there.
uint32_t transact(session &s, const char *command, char (*reply)[k_line_buffer_size] = nullptr);

}  // namespace tovlink
