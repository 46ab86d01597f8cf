// A virtual robot in-process with a Robot connected to it, and the robot's
// wire log: the command lines it received, with their time stamps.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tovlink/robot.hpp"
#include "tovlink_sim/virtual_robot.hpp"

namespace tovlink::motion::testing {

struct WireLine {
  std::int64_t stamp_ms = 0;  // the log's HH:MM:SS.mmm as milliseconds of the day
  std::string text;           // the command without its line ends, e.g. "#100,3"
};

// "HH:MM:SS.mmm rx \"#100,3\\r\"" -> {stamp, "#100,3"}; false for other log lines.
inline bool parse_received(const std::string &log_line, WireLine &line) {
  int h = 0, m = 0, s = 0, ms = 0;
  if (std::sscanf(log_line.c_str(), "%2d:%2d:%2d.%3d", &h, &m, &s, &ms) != 4) return false;
  const auto open = log_line.find(" rx \"");
  if (open == std::string::npos) return false;
  auto text = log_line.substr(open + 5);
  text = text.substr(0, text.find("\\r"));
  if (!text.empty() && text.back() == '"') text.pop_back();
  line = {((h * 60 + m) * 60 + s) * 1000LL + ms, text};
  return true;
}

class LoggedRobot {
 public:
  LoggedRobot() : sim_{options()} {
    sim_.start();
    robot_ = std::make_unique<Robot>(sim_.slave_path());
  }

  sim::virtual_robot &sim() { return sim_; }
  Robot &robot() { return *robot_; }

  // The commands received so far, telemetry polls left out.
  std::vector<WireLine> commands() const {
    const std::scoped_lock lock{mutex_};
    std::vector<WireLine> result;
    for (const auto &line : lines_) {
      if (line.text != "#140") result.push_back(line);
    }
    return result;
  }
  std::vector<WireLine> commands_from(std::size_t first) const {
    auto all = commands();
    all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())));
    return all;
  }

 private:
  sim::robot_options options() {
    sim::robot_options options;
    options.log = [this](const std::string &log_line) {
      WireLine line;
      if (!parse_received(log_line, line)) return;
      const std::scoped_lock lock{mutex_};
      lines_.push_back(line);
    };
    return options;
  }

  mutable std::mutex mutex_;
  std::vector<WireLine> lines_;
  sim::virtual_robot sim_;
  std::unique_ptr<Robot> robot_;
};

// Polls `condition` every millisecond for at most `limit`; true once it held.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds{5}) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds{1});
  }
  return true;
}

}  // namespace tovlink::motion::testing
