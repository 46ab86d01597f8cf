#include "protocol/status_line.h"

#include <cstring>
#include <limits>

namespace tovlink {

namespace {

constexpr std::size_t k_work_size = 512;

// One step of the status line: the literal text before a value, and where
// the value goes.
struct status_field {
  const char *literal;
  int32_t *target;
};

bool is_scan_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Reads white space, an optional sign and at least one digit.  Digits beyond
// the 32-bit range saturate rather than wrap.
bool read_value(const char *&cursor, int32_t *value) {
  while (is_scan_space(*cursor)) ++cursor;
  bool negative = *cursor == '-';
  if (*cursor == '+' || *cursor == '-') ++cursor;
  if (!is_digit(*cursor)) return false;
  constexpr int64_t k_limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  while (is_digit(*cursor)) {
    magnitude = magnitude * 10 + (*cursor++ - '0');
    if (magnitude > k_limit) magnitude = k_limit;
  }
  int64_t signed_value = negative ? -magnitude : magnitude;
  if (signed_value > std::numeric_limits<int32_t>::max()) {
    signed_value = std::numeric_limits<int32_t>::max();
  }
  *value = static_cast<int32_t>(signed_value);
  return true;
}

bool match_literal(const char *&cursor, const char *literal) {
  std::size_t length = std::strlen(literal);
  if (std::strncmp(cursor, literal, length) != 0) return false;
  cursor += length;
  return true;
}

bool contains_end_marker(const uint8_t *text, std::size_t length) {
  constexpr char k_marker[] = "End,";
  constexpr std::size_t k_marker_length = sizeof k_marker - 1;
  for (std::size_t i = 0; i + k_marker_length <= length; ++i) {
    if (std::memcmp(text + i, k_marker, k_marker_length) == 0) return true;
  }
  return false;
}

int scan_status(telemetry_cache &t, const char *cursor) {
  const status_field fields[] = {
      {"S,", &t.sensor_value},     {",", &t.mic_value},         {",M,", &t.motor_position[0]},
      {",", &t.motor_position[1]}, {",", &t.motor_position[2]}, {",", &t.motor_position[3]},
      {",", &t.motor_position[4]}, {",", &t.motor_position[5]}, {",", &t.motor_position[6]},
      {",P,", &t.battery_value},   {",", &t.motor_power},       {",", &t.mic_analog_value},
  };
  int read = 0;
  for (const status_field &field : fields) {
    if (!match_literal(cursor, field.literal)) return read;
    if (!read_value(cursor, field.target)) return read;
    ++read;
  }
  // The closing ",E" carries no value; nothing depends on it being there.
  return read;
}

}  // namespace

int parse_status(telemetry_cache &cache, const uint8_t *reply, std::size_t count) {
  char work[k_work_size] = {};
  std::size_t length = 0;
  while (length < count && reply[length] != 0) ++length;
  // A status line may be preceded by "End,"; the first four characters are
  // dropped whenever the marker occurs anywhere.
  std::size_t start = contains_end_marker(reply, length) ? 4 : 0;
  std::size_t copied = length > start ? length - start : 0;
  if (copied > k_work_size - 1) copied = k_work_size - 1;
  std::memcpy(work, reply + start, copied);
  return scan_status(cache, work);
}

}  // namespace tovlink
