#include "json.hpp"

#include <array>
#include <cstdio>

namespace tovlink::tool {

namespace {

// Length of the well-formed UTF-8 sequence starting at `at`, or 0.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead >= 0xF0 && lead <= 0xF4   ? 4
                             : lead >= 0xE0                 ? 3
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                                                            : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

std::string json_quote(std::string_view text) {
  std::string quoted = "\"";
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      if (const auto length = utf8_sequence_length(text, at); length > 0) {
        quoted.append(text.substr(at, length));
        at += length - 1;
        continue;
      }
    }
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (c == '\n') {
      quoted += "\\n";
    } else if (c == '\r') {
      quoted += "\\r";
    } else if (c == '\t') {
      quoted += "\\t";
    } else if (byte < 0x20 || byte >= 0x7f) {
      std::array<char, 8> escape{};
      std::snprintf(escape.data(), escape.size(), "\\u%04X", static_cast<unsigned>(byte));
      quoted += escape.data();
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

json_object &json_object::field(std::string_view key, std::string_view json) {
  if (!body_.empty()) body_ += ',';
  body_ += json_quote(key);
  body_ += ':';
  body_ += json;
  return *this;
}

json_object &json_object::text(std::string_view key, std::string_view value) {
  return field(key, json_quote(value));
}

json_object &json_object::number(std::string_view key, long long value) {
  return field(key, std::to_string(value));
}

json_object &json_object::flag(std::string_view key, bool value) {
  return field(key, value ? "true" : "false");
}

json_object &json_object::numbers(std::string_view key, const std::vector<int> &values) {
  std::string list = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) list += ',';
    list += std::to_string(values[i]);
  }
  return field(key, list + "]");
}

json_object &json_object::null(std::string_view key) {
  return field(key, "null");
}

json_object &json_object::raw(std::string_view key, std::string_view json) {
  return field(key, json);
}

}  // namespace tovlink::tool
