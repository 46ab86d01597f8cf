// The contract's names, refusal reasons and JSON form.
#include "tovlink/contract.hpp"

#include <string>

namespace tovlink {
namespace {

// "50-300", or "-999 to 9999" where a minus sign would make a dash ambiguous.
std::string range_text(const Range &range) {
  const std::string separator = range.low < 0 ? " to " : "-";
  return std::to_string(range.low) + separator + std::to_string(range.high);
}

std::string outside(std::string_view what, std::int64_t value, const Range &range,
                    std::string_view unit = {}) {
  std::string text(what);
  text += ' ';
  text += std::to_string(value);
  text += unit;
  text += " is outside ";
  text += range_text(range);
  text += unit;
  return text;
}

// A string as a JSON string literal; the contract's texts are ASCII.
void append_json_string(std::string &out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      static constexpr char hex[] = "0123456789abcdef";
      out += "\\u00";
      out += hex[byte >> 4];
      out += hex[byte & 0xf];
    } else {
      out += c;
    }
  }
  out += '"';
}

void append_range(std::string &out, const Range &range) {
  out += '[';
  out += std::to_string(range.low);
  out += ',';
  out += std::to_string(range.high);
  out += ']';
}

void append_motors(std::string &out) {
  out += "\"motors\":{\"count\":" + std::to_string(motor_count) +
         ",\"all\":" + std::to_string(all_motors) + ",\"angle_ranges\":[";
  for (std::size_t index = 0; index < motor_angle_ranges.size(); ++index) {
    if (index != 0) out += ',';
    append_range(out, motor_angle_ranges[index]);
  }
  out += "],\"all_angle_range\":";
  append_range(out, angle_range(all_motors));
  out += ",\"time_ms\":";
  append_range(out, move_time_range);
  out += ",\"adjust_offset\":";
  append_range(out, adjust_offset_range);
  out += ",\"power_value\":";
  append_range(out, power_value_range);
  out += ",\"default_power_value\":" + std::to_string(default_power_value) + '}';
}

void append_leds(std::string &out) {
  out += "\"leds\":[";
  for (std::size_t index = 0; index < leds.size(); ++index) {
    if (index != 0) out += ',';
    out += "{\"number\":" + std::to_string(leds[index].number) + ",\"name\":";
    append_json_string(out, leds[index].name);
    out += '}';
  }
  out += ']';
}

void append_sound_and_speech(std::string &out) {
  out += "\"tone\":{\"first\":";
  append_range(out, tone_first_range);
  out += ",\"second\":";
  append_range(out, tone_second_range);
  out += "},\"speech\":{\"max_bytes\":" + std::to_string(max_speech_bytes) +
         ",\"forbidden_bytes\":[";
  for (std::size_t index = 0; index < speech_forbidden_bytes.size(); ++index) {
    if (index != 0) out += ',';
    out += std::to_string(static_cast<unsigned char>(speech_forbidden_bytes[index]));
  }
  out += "],\"speed\":";
  append_range(out, speech_speed_range);
  out += '}';
}

void append_queries(std::string &out) {
  out += "\"queries\":[";
  for (std::size_t index = 0; index < queries.size(); ++index) {
    if (index != 0) out += ',';
    out += "{\"name\":";
    append_json_string(out, queries[index].name);
    out += ",\"line\":";
    append_json_string(out, queries[index].line);
    out += '}';
  }
  out += ']';
}

void append_errors(std::string &out) {
  out += "\"errors\":[";
  for (std::size_t index = 0; index < errors.size(); ++index) {
    if (index != 0) out += ',';
    out += "{\"code\":" + std::to_string(static_cast<int>(errors[index].code)) + ",\"name\":";
    append_json_string(out, errors[index].name);
    out += ",\"message\":";
    append_json_string(out, errors[index].message);
    out += '}';
  }
  out += ']';
}

}  // namespace

std::string_view query_name(Query query) noexcept {
  for (const QueryInfo &entry : queries) {
    if (entry.query == query) return entry.name;
  }
  return {};
}

bool query_from_name(std::string_view name, Query &query) noexcept {
  for (const QueryInfo &entry : queries) {
    if (entry.name == name) {
      query = entry.query;
      return true;
    }
  }
  return false;
}

std::string_view error_name(errc code) noexcept {
  for (const ErrorInfo &entry : errors) {
    if (entry.code == code) return entry.name;
  }
  return "unknown_error";
}

std::string motor_refusal(int motor, bool all_allowed) {
  if (is_motor(motor) || (all_allowed && motor == all_motors)) return {};
  const std::string motors = "motors are 1-" + std::to_string(motor_count);
  return all_allowed ? motors + " (or " + std::to_string(all_motors) + " for all)" : motors;
}

std::string time_refusal(std::int64_t time_ms) {
  return move_time_range.contains(time_ms) ? std::string{}
                                           : outside("time", time_ms, move_time_range, " ms");
}

std::string power_refusal(std::int64_t value) {
  if (power_value_range.contains(value)) return {};
  if (value < power_value_range.low) {
    return "value " + std::to_string(value) + " is below " + std::to_string(power_value_range.low);
  }
  return outside("value", value, power_value_range);
}

std::string led_refusal(std::int64_t led) {
  if (led_range.contains(led)) return {};
  return "LED " + std::to_string(led) + " does not exist (LEDs are " + range_text(led_range) + ")";
}

std::string tone_refusal(std::int64_t first, std::int64_t second) {
  if (!tone_first_range.contains(first)) return outside("first value", first, tone_first_range);
  if (!tone_second_range.contains(second)) {
    return outside("second value", second, tone_second_range);
  }
  return {};
}

std::string speech_speed_refusal(std::int64_t speed) {
  return speech_speed_range.contains(speed) ? std::string{}
                                            : outside("speed", speed, speech_speed_range);
}

std::string speech_text_refusal(std::string_view text) {
  if (text.size() > max_speech_bytes) {
    return "the text has " + std::to_string(text.size()) + " bytes; at most " +
           std::to_string(max_speech_bytes) + " fit";
  }
  const auto forbidden = text.find_first_of(speech_forbidden_bytes);
  if (forbidden == std::string_view::npos) return {};
  if (text[forbidden] == '\0') return "the text holds a zero byte";
  return "the text holds a line end (CR or LF), which would start another command";
}

std::string adjust_refusal(std::int64_t offset) {
  return adjust_offset_range.contains(offset) ? std::string{}
                                              : outside("offset", offset, adjust_offset_range);
}

std::string contract_json() {
  std::string out = "{";
  append_motors(out);
  out += ',';
  append_leds(out);
  out += ',';
  append_sound_and_speech(out);
  out += ',';
  append_queries(out);
  out += ',';
  append_errors(out);
  out += '}';
  return out;
}

}  // namespace tovlink
