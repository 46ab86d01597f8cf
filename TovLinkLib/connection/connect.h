// Connect with its adapter dialogue, and end.
#pragma once

#include <cstdint>

namespace tovlink {

inline constexpr std::size_t k_peer_id_size = 32;

// The adapter's reply to "GDH\r", line ending included, kept for the
// "E,0,<peer id>\r" line.  Zeroed at the start of every connect.
extern char g_peer_id[k_peer_id_size];

// Polls of 1 ms per wait during the dialogue.
inline constexpr uint32_t k_dialogue_reply_polls = 1000;
inline constexpr uint32_t k_peer_id_reply_polls = 3000;
// Pauses the adapter needs after the peer id and after linking.
inline constexpr uint32_t k_pause_before_link_ms = 500;
inline constexpr uint32_t k_pause_after_link_ms = 3000;
// Once a wait that skips other lines has run this long, a further
// non-matching line ends it as a time-out.
inline constexpr uint32_t k_line_skipping_limit_ms = 5000;

}  // namespace tovlink
