// The tool's commands, run on a parsed request through a robot access.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access.hpp"
#include "console.hpp"

namespace tovlink::tool {

// Exit statuses, the same in every mode (tools/README.md).  A bad command
// line and an argument the library refuses are both exit_usage.
inline constexpr int exit_ok = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;
inline constexpr int exit_disconnected = 3;
inline constexpr int exit_interrupted = 130;

struct request {
  std::string command;  // "status", "move", "power on", ...
  bool json = false;
  bool verbose = false;

  int motor = 1;  // 1-7 or all_motors
  int angle = 90;
  std::optional<int> time_ms;
  std::array<int, motor_count> angles{};
  int power_value = tovlink::default_power_value;
  int led = tovlink::first_led;
  int first = 0;
  int second = 0;
  std::string text;
  int speed = 100;
  double rate_hz = 2.0;
  std::optional<int> samples;                      // monitor: stop after this many
  std::optional<std::chrono::milliseconds> since;  // monitor: the service's history first
  std::vector<std::string> words;                  // fleet: the command for every robot of the site
  std::string robot;                               // a shell line's --robot
};

// True for the commands that talk to a robot.
bool needs_robot(std::string_view command);

// Runs a command that needs no robot ("version").
int run_local(const request &req, const console &io);
// Runs a command on an open robot and returns the exit status.
int run_on_robot(const request &req, robot_access &robot, const console &io);
// Prints a failure as the command's result (human line and --json object)
// and returns its exit status.
int report_failure(const std::string &command, bool json, const failure &error, const console &io);

}  // namespace tovlink::tool
