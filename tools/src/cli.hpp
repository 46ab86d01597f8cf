// The tool's command line: global options, the commands and their
// arguments, with messages that name the argument at fault.  The shell
// parses each of its lines with the same rules.
#pragma once

#include <string>
#include <vector>

#include "access.hpp"
#include "commands.hpp"
#include "console.hpp"

namespace tovlink::tool {

struct parsed_line {
  // Set when parsing already finished the job: help was printed (0) or the
  // line was refused (exit_usage, message printed).
  std::optional<int> status;
  request req;
  connection_options connection;
  bool names_connection = false;  // the line gave --port, --sim, --daemon, ...
};

// args: the words after the program's name.
parsed_line parse_command_line(const std::vector<std::string> &args, bool json_default = false);

// Prints a bad-command-line message (and its --json object) and returns
// exit_usage.
int usage_error(const std::string &message, bool json);

}  // namespace tovlink::tool
