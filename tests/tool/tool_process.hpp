// Runs the tovlink program as a child process and collects what it printed.
#pragma once

#include <chrono>
#include <string>
#include <utility>
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

struct run_options {
  std::string input;  // standard input (a pipe); empty: /dev/null
  std::vector<std::pair<std::string, std::string>> environment;  // added or replaced
  // Non-zero: standard output is a pseudo-terminal this many columns wide.
  unsigned short terminal_columns = 0;
  std::chrono::seconds limit{60};
};

tool_run run_tool(const std::vector<std::string> &args, const run_options &options = {});

}  // namespace tovlink::tool::test
