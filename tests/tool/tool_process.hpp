// Runs the tovlink program as a child process and collects what it printed.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tovlink::tool::test {

struct tool_run {
  int exit_status = -1;  // -1: killed or did not start
  std::string out;
  std::string err;

  std::vector<std::string> out_lines() const;
  // The last line of standard output (where --json puts its object).
  std::string last_out_line() const;
};

tool_run run_tool(const std::vector<std::string> &args,
                  std::chrono::seconds limit = std::chrono::seconds{60});

}  // namespace tovlink::tool::test
