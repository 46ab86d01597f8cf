#include "tovlink_sim/wire_log.hpp"

#include <array>
#include <cstdio>
#include <ctime>

namespace tovlink::sim {

std::string escape_bytes(std::string_view bytes) {
  std::string text = "\"";
  for (const char c : bytes) {
    switch (c) {
      case '\r':
        text += "\\r";
        break;
      case '\n':
        text += "\\n";
        break;
      case '\t':
        text += "\\t";
        break;
      case '\\':
        text += "\\\\";
        break;
      case '"':
        text += "\\\"";
        break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
          text += c;
        } else {
          std::array<char, 5> hex{};
          std::snprintf(hex.data(), hex.size(), "\\x%02X", static_cast<unsigned>(byte));
          text += hex.data();
        }
      }
    }
  }
  text += '"';
  return text;
}

std::string wall_clock_stamp(std::chrono::system_clock::time_point when) {
  const auto seconds = std::chrono::system_clock::to_time_t(when);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(millis));
  return text.data();
}

}  // namespace tovlink::sim
