// A robot's recent telemetry, kept in memory so a client that arrives late
// (a panel page opened, `tovlink monitor --since`) can start with the last
// minutes instead of an empty plot.  Bounded twice: by age (the daemon's
// --history) and by count (one reading per poll at the fastest poll rate),
// so a clock step or a burst of readings never grows it past its budget.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "tovlink/robot.hpp"

namespace tovlink::service {

// Unix time in milliseconds, as the protocol writes times.
std::int64_t unix_ms_now();

struct history_sample {
  std::int64_t time_ms = 0;  // Unix ms of the reading
  tovlink::Telemetry telemetry;
};

class telemetry_history {
 public:
  // `keep` 0 turns the history off.  `poll_period` is the fastest the robot
  // is read: the history never holds more than one reading per period.
  telemetry_history(std::chrono::seconds keep, std::chrono::milliseconds poll_period);

  bool enabled() const { return capacity_ > 0; }
  std::chrono::seconds keep() const { return keep_; }
  std::size_t capacity() const { return capacity_; }

  void add(std::int64_t time_ms, const tovlink::Telemetry &telemetry);

  // The readings taken at or after `from_ms`, oldest first, at most
  // `max_samples` of them: more are thinned to evenly spaced ones, always
  // keeping the newest.
  std::vector<history_sample> since(std::int64_t from_ms, std::size_t max_samples) const;

 private:
  std::chrono::seconds keep_;
  std::size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<history_sample> samples_;
};

}  // namespace tovlink::service
