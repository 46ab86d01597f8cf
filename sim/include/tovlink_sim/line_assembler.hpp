// Cuts the host's byte stream into command lines.  Hosts end lines with "\r",
// some with "\r\r" or "\r\n\r"; a run of line-end bytes that arrives together
// belongs to the line before it, so the wire log shows one entry per command.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tovlink::sim {

struct received_line {
  std::string text;  // without line-end bytes; empty for a stray line end
  std::string raw;   // exactly as received, line ends included
  bool too_long = false;
};

class line_assembler {
 public:
  // Longer lines are cut off and reported as too_long: the robot's command
  // buffer is small.
  static constexpr std::size_t max_line = 255;
  // Bounds what a host that never ends its line can make the sim keep.
  static constexpr std::size_t max_raw = 1024;

  // Returns the lines completed by this chunk.  A line whose ending is still
  // arriving is completed by the end of the chunk; its text waits for more.
  std::vector<received_line> feed(std::string_view chunk);
  void reset();

 private:
  received_line pending_;
  bool in_line_end_ = false;
};

}  // namespace tovlink::sim
