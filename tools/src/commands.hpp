// The tool's commands, run on a parsed request.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "console.hpp"
#include "session.hpp"

namespace tovlink::tool {

inline constexpr int motor_count = 7;
// The motor argument "all" (sent as 255 by the library).
inline constexpr int all_motors = 255;
inline constexpr int default_power_value = 1000;
inline constexpr int min_power_value = 500;
inline constexpr int max_time_ms = 9999;
inline constexpr int max_speech_bytes = 39;

struct request {
  std::string command;  // "status", "move", "power on", ...
  connection_options connection;
  bool json = false;
  bool verbose = false;

  int motor = 1;  // 1-7 or all_motors
  int angle = 90;
  std::optional<int> time_ms;
  std::array<int, motor_count> angles{};
  int power_value = default_power_value;
  int led = 0;
  int first = 0;
  int second = 0;
  std::string text;
  int speed = 100;
  double rate_hz = 2.0;
  std::optional<int> samples;  // monitor: stop after this many
};

// True for the commands that talk to the robot.
bool needs_connection(std::string_view command);

// Runs the request and returns the exit status.
int run_request(const request &req, console &io);

}  // namespace tovlink::tool
