// Just enough JSON for the tool's one-object-per-line output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tovlink::tool {

// Quotes text as a JSON string.  Well-formed UTF-8 passes through; control
// bytes and stray high bytes are written as \u00XX, so robot replies with line
// noise in them still give valid JSON.
std::string json_quote(std::string_view text);

class json_object {
 public:
  json_object &text(std::string_view key, std::string_view value);
  json_object &number(std::string_view key, long long value);
  json_object &flag(std::string_view key, bool value);
  json_object &numbers(std::string_view key, const std::vector<int> &values);
  json_object &null(std::string_view key);
  // A value already written as JSON (a nested object or array).
  json_object &raw(std::string_view key, std::string_view json);
  std::string str() const { return "{" + body_ + "}"; }

 private:
  json_object &field(std::string_view key, std::string_view json);
  std::string body_;
};

}  // namespace tovlink::tool
