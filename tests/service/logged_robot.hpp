// A virtual robot in the test's process with its time-stamped wire log
// kept, and the timed seven-angle moves ("#151") read back from the log.
#pragma once

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "tovlink_sim/virtual_robot.hpp"

namespace tovlink::service::testing {

// One "#151" line (a seven-angle timed move) as the robot received it.
struct wire_move {
  long long stamp_ms = 0;  // milliseconds of the day, from the wire log
  std::vector<int> angles;
  int time_ms = 0;
};

// A virtual robot in this process, its wire log kept.
struct logged_robot {
  std::mutex mutex;
  std::vector<std::string> log;
  std::unique_ptr<tovlink::sim::virtual_robot> robot;

  explicit logged_robot(const std::string &link) {
    tovlink::sim::robot_options options;
    options.link_path = link;
    options.log = [this](const std::string &line) {
      std::lock_guard lock(mutex);
      log.push_back(line);
    };
    robot = std::make_unique<tovlink::sim::virtual_robot>(options);
    robot->start();
  }
  // Whether some log line holds `text`.
  bool logged(const std::string &text) {
    std::lock_guard lock(mutex);
    return std::any_of(log.begin(), log.end(),
                       [&](const auto &line) { return line.find(text) != std::string::npos; });
  }
  std::size_t lines() {
    std::lock_guard lock(mutex);
    return log.size();
  }
  // The timed moves received from log line `from` on.
  std::vector<wire_move> moves(std::size_t from = 0) {
    static const std::regex pattern{
        R"((\d\d):(\d\d):(\d\d)\.(\d\d\d) rx "#151,((?:\d+,){7})(\d+))"};
    std::lock_guard lock(mutex);
    std::vector<wire_move> found;
    for (std::size_t i = from; i < log.size(); ++i) {
      std::smatch match;
      if (!std::regex_search(log[i], match, pattern)) continue;
      wire_move move;
      move.stamp_ms =
          ((std::stoll(match[1]) * 60 + std::stoll(match[2])) * 60 + std::stoll(match[3])) * 1000 +
          std::stoll(match[4]);
      const std::string angles = match[5];
      for (std::size_t at = 0; at < angles.size();) {
        const auto comma = angles.find(',', at);
        move.angles.push_back(std::stoi(angles.substr(at, comma - at)));
        at = comma + 1;
      }
      move.time_ms = std::stoi(match[6]);
      found.push_back(move);
    }
    return found;
  }
};

// The wire log's stamp (milliseconds of the local day) of a Unix time in ms.
inline long long local_day_ms(long long unix_ms) {
  const std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  return ((local.tm_hour * 60LL + local.tm_min) * 60 + local.tm_sec) * 1000 + unix_ms % 1000;
}

}  // namespace tovlink::service::testing
