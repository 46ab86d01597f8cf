// `tovlink shell`: one connection, then command after command — typed at a
// prompt with line editing and history, or read from standard input.
#pragma once

#include <string>
#include <vector>

#include "access.hpp"
#include "console.hpp"

namespace tovlink::tool {

// Splits a line into words as a shell would: blanks separate, '...' and
// "..." quote, a backslash escapes the next character (not inside '...'),
// and a '#' that starts a word starts a comment up to the line's end.
// False when a quote is left open.
bool split_words(const std::string &line, std::vector<std::string> &words);

// Runs until end of input, "exit" or "quit", or until the robot is lost.
// Returns 0, the last failing command's status, or exit_disconnected.
int run_shell(robot_access &robot, const console &io, bool json);

}  // namespace tovlink::tool
