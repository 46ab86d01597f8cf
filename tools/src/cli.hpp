// The tool's command line: global options, the commands and their
// arguments, with messages that name the argument at fault.  The shell
// parses each of its lines with the same rules.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
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
  // The line gave --port, --sim, --daemon, ... (anything but --robot, which
  // a shell line may give to pick another robot of the service).
  bool names_connection = false;
};

// args: the words after the program's name.
parsed_line parse_command_line(const std::vector<std::string> &args, bool json_default = false);

// "90", "90s", "500ms", "2m", "1h": a time span for --since; nullopt when
// it is none.
std::optional<std::chrono::milliseconds> parse_span(std::string_view text);

// The tool's command names, for the shell's completion: "status", "who",
// "power", ... (groups by their own name).
std::vector<std::string> command_names();
// The words that may follow a group ("power": on, off); empty for others.
std::vector<std::string> group_words(const std::string &group);

// Prints a bad-command-line message (and its --json object) and returns
// exit_usage.
int usage_error(const std::string &message, bool json);

}  // namespace tovlink::tool
