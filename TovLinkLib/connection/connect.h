// Connect with its adapter dialogue, and end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/session.h"

namespace tovlink {

// Polls of 1 ms per wait during the dialogue.
inline constexpr uint32_t k_dialogue_reply_polls = 1000;
inline constexpr uint32_t k_peer_id_reply_polls = 3000;
// Pauses the adapter needs after the peer id and after linking.
inline constexpr uint32_t k_pause_before_link_ms = 500;
inline constexpr uint32_t k_pause_after_link_ms = 3000;
// Once a wait that skips other lines has run this long, a further
// non-matching line ends it as a time-out.
inline constexpr uint32_t k_line_skipping_limit_ms = 5000;

// Opens the port and runs the adapter dialogue on the session.  The new
// record becomes s.serial as soon as the port is open; a failed step ends it
// again.  Returns true with the connection in place, false with the code in
// s.last_error (s.serial unchanged when the port could not be opened).
bool connect_session(session &s, const char *port_name, int32_t baud);

// Stops the worker, closes the port and clears s.serial.  With no
// connection, prints the connection check's line and leaves 2.
void end_session(session &s);

}  // namespace tovlink
