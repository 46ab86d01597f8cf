// Reads the tool's one-line JSON objects: a flat object whose values are
// strings, numbers, booleans, null or arrays of numbers.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tovlink::tool::test {

// Each key with its value as written (strings without quotes and with
// escapes resolved); nullopt when the line is not such an object.
std::optional<std::map<std::string, std::string>> parse_flat_json(const std::string &line);

// "[1,2,3]" -> {1, 2, 3}
std::vector<int> json_numbers(const std::string &array);

}  // namespace tovlink::tool::test
