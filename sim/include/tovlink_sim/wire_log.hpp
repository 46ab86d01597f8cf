// Human-readable record of the traffic, so a host developer sees exactly which
// bytes went over the wire and when.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace tovlink::sim {

// Quotes the bytes, writing \r, \n, \t, \\, \" and other non-printables as
// escapes (\xNN), so line endings and noise are visible.
std::string escape_bytes(std::string_view bytes);

// "HH:MM:SS.mmm" local wall-clock time.
std::string wall_clock_stamp(std::chrono::system_clock::time_point when);

}  // namespace tovlink::sim
