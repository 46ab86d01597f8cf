// Plain-language messages for the library's result codes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tovlink::tool {

// For a failed robot operation.  `detail` says what was wrong with an
// argument when the code is the invalid-argument one.
std::string describe_result(std::uint32_t code, std::string_view detail = {});

// For a failed connect, by the step of the adapter dialogue that failed.
std::string describe_connect_failure(std::uint32_t code, std::string_view port);

}  // namespace tovlink::tool
