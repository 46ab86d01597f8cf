// Plain-language messages for failures: the operation, the cause, and
// whether anything reached the robot.
#pragma once

#include <string>
#include <string_view>

#include "access.hpp"

namespace tovlink::tool {

// A failure from the C++ API's error.  `context` replaces what() for a
// connect, whose what() may not say which port; `holder` names the process
// holding a busy port, when known (port_holder).
failure failure_from(const tovlink::Error &error, const std::string &context = {},
                     const std::string &holder = {});

// "the command was sent; the robot may have acted on it" or "nothing reached
// the robot".
std::string_view reached_text(reached sent);

// The line the tool prints for a failure (without "tovlink: ").
std::string failure_message(const failure &error);

}  // namespace tovlink::tool
