// tovlink/motion/recorder.hpp - records a movement, and reduces it to
// keyframes.
//
// Teach by hand: with motor power off, a person moves the robot's arms and
// head; a Recorder reads the positions the robot reports (Robot::telemetry,
// "#140") at a steady rate on a thread of its own, and reduce() turns the
// samples into a motion of a few keyframes that plays back within a
// tolerance.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tovlink/motion/motion.hpp"
#include "tovlink/robot.hpp"

namespace tovlink::motion {

struct Sample {
  milliseconds time{0};  // since the recording started
  std::array<int, motor_count> positions{};
  friend bool operator==(const Sample &, const Sample &) = default;
};

// Sampling intervals: one telemetry exchange takes a few milliseconds.
inline constexpr milliseconds min_sample_interval{10};
inline constexpr milliseconds max_sample_interval{10'000};
// A recording stops taking samples past this many (an hour at 10 ms).
inline constexpr std::size_t max_samples = 360'000;

struct Recording {
  std::vector<Sample> samples;
  // Set when the robot failed and the recording ended early; the samples
  // taken until then are kept.
  std::optional<Error> error;
};

class Recorder {
 public:
  // Starts sampling at once: the first sample is taken now, then one every
  // `interval` on a fixed grid (a late sample does not delay the next ones;
  // a grid point missed altogether is skipped).  The robot must outlive the
  // Recorder.  Throws std::invalid_argument for an interval outside
  // min_sample_interval-max_sample_interval.
  Recorder(Robot &robot, milliseconds interval);
  ~Recorder();  // stops
  Recorder(const Recorder &) = delete;
  Recorder &operator=(const Recorder &) = delete;

  // Ends the recording (waiting at most for the exchange in progress) and
  // returns what it took.  Later calls return an empty recording.
  Recording stop();
  // True while samples are still being taken (false once the robot failed).
  bool recording() const;
  std::size_t sample_count() const;

 private:
  void run(std::stop_token stop);

  Robot &robot_;
  const milliseconds interval_;
  mutable std::mutex mutex_;
  std::condition_variable_any wake_;
  Recording recording_;
  bool running_ = true;
  std::jthread thread_;
};

// Reduces samples to keyframes with the Ramer-Douglas-Peucker line
// simplification over the seven-angle trajectory: a sample is kept when
// leaving it out would put some motor further than `tolerance_degrees` from
// the straight line (in time) between the kept samples around it.  So the
// motion, played back with the robot interpolating between keyframes,
// passes within the tolerance of every sample.  The first and last samples
// are always kept; keyframe times are the samples' times less the first's,
// so the motion starts at 0.  Samples must have increasing times.
std::vector<Keyframe> reduce(const std::vector<Sample> &samples, double tolerance_degrees);

// reduce() as a motion named `name` (no events).
Motion motion_from(const std::vector<Sample> &samples, double tolerance_degrees, std::string name);

}  // namespace tovlink::motion
