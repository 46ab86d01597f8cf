#include "tovlink_sim/line_assembler.hpp"

#include <utility>

namespace tovlink::sim {
namespace {

bool is_line_end(char c) {
  return c == '\r' || c == '\n';
}

}  // namespace

std::vector<received_line> line_assembler::feed(std::string_view chunk) {
  std::vector<received_line> lines;
  for (const char c : chunk) {
    if (is_line_end(c)) {
      pending_.raw.push_back(c);
      in_line_end_ = true;
      continue;
    }
    if (in_line_end_) {
      lines.push_back(std::exchange(pending_, {}));
      in_line_end_ = false;
    }
    if (pending_.raw.size() < max_raw) pending_.raw.push_back(c);
    if (pending_.text.size() < max_line) {
      pending_.text.push_back(c);
    } else {
      pending_.too_long = true;
    }
  }
  if (in_line_end_) {
    lines.push_back(std::exchange(pending_, {}));
    in_line_end_ = false;
  }
  return lines;
}

void line_assembler::reset() {
  pending_ = {};
  in_line_end_ = false;
}

}  // namespace tovlink::sim
