// Teach by hand: with motor power off a person moves the virtual robot's
// arm through a curve; the recorder follows it through telemetry, reduce()
// keeps a handful of keyframes, and the motion played back puts the robot
// on the same curve within the tolerance.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "logged_robot.hpp"
#include "tovlink/motion/player.hpp"
#include "tovlink/motion/recorder.hpp"

namespace tovlink::motion {
namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using testing::LoggedRobot;

// The hand's curve: one slow swing of motor 1 and a faster one of motor 3,
// both back where they began after `curve_length`.
constexpr auto curve_length = 3000ms;
std::array<int, motor_count> hand_at(steady::duration since_start) {
  const double t = std::clamp(std::chrono::duration<double>(since_start) / curve_length, 0.0, 1.0);
  std::array<int, motor_count> angles{90, 90, 90, 90, 90, 90, 90};
  angles[0] = static_cast<int>(std::lround(90 + 40 * std::sin(2 * std::numbers::pi * t)));
  angles[2] = static_cast<int>(std::lround(90 - 20 * std::sin(4 * std::numbers::pi * t)));
  return angles;
}

// Motor m's recorded angle at recording time `at`, between samples on a
// straight line (before the first and after the last: those).
double recorded_at(const std::vector<Sample> &samples, milliseconds at, std::size_t m) {
  if (at <= samples.front().time) return samples.front().positions[m];
  for (std::size_t i = 1; i < samples.size(); ++i) {
    if (at > samples[i].time) continue;
    const auto &a = samples[i - 1];
    const auto &b = samples[i];
    const double f =
        static_cast<double>((at - a.time).count()) / static_cast<double>((b.time - a.time).count());
    return a.positions[m] + (b.positions[m] - a.positions[m]) * f;
  }
  return samples.back().positions[m];
}

TEST(TeachByHand, AHandMovedCurveIsRecordedReducedAndPlayedBackWithinTheTolerance) {
  LoggedRobot robot;
  robot.robot().power_on();
  EXPECT_FALSE(robot.sim().move_by_hand(1, 120)) << "a powered servo holds against the hand";
  robot.robot().power_off();

  Recorder recorder{robot.robot(), 20ms};
  std::this_thread::sleep_for(100ms);  // still at first: a recording starts before the hand moves
  const auto hand_start = steady::now();
  while (steady::now() - hand_start < curve_length + 100ms) {
    const auto angles = hand_at(steady::now() - hand_start);
    for (int motor = 1; motor <= motor_count; ++motor) {
      ASSERT_TRUE(robot.sim().move_by_hand(motor, angles[static_cast<std::size_t>(motor - 1)]));
    }
    std::this_thread::sleep_for(5ms);
  }
  auto recording = recorder.stop();
  EXPECT_FALSE(recording.error);
  ASSERT_GT(recording.samples.size(), 60u) << "about 160 at 20 ms; fewer on a loaded machine";

  const double tolerance = 3.0;
  const auto motion = motion_from(recording.samples, tolerance, "taught");
  EXPECT_GE(motion.keyframes.size(), 5u) << "a curve needs more than its ends";
  EXPECT_LE(motion.keyframes.size(), 30u) << "a handful, not every sample";
  // Round trip through the file format, as a taught motion is kept.
  const auto kept = parse_motion_json(to_json(motion)).motion;
  EXPECT_EQ(kept, motion);

  // Played back: the robot's positions follow what was recorded within the
  // tolerance (a degree more for rounding), motion time m being the
  // recording's m + its first sample's time.  The robot runs behind the
  // schedule by the lines' lateness, and each sample was stamped somewhere
  // within its exchange: the recording is taken over a window that allows
  // for both.  On a loaded machine the odd check may fall outside it, so
  // nine in ten must be within the tolerance and none grossly off.
  robot.robot().power_on();
  PlayOptions options;
  options.start_at = std::chrono::system_clock::now() + 200ms;
  const auto motion_zero = steady::now() + 200ms;
  Player player{robot.robot(), kept, options};
  constexpr auto window = 60ms;
  const auto first_sample = recording.samples.front().time;
  std::vector<double> misses;
  double worst = 0;
  while (!is_over(player.state())) {
    const auto from = steady::now() - motion_zero - window;
    const auto position = robot.sim().state().positions;
    const auto to = steady::now() - motion_zero + window;
    for (std::size_t m = 0; m < motor_count; ++m) {
      double low = 180;
      double high = 0;
      for (auto t = from; t <= to; t += 1ms) {
        const double angle = recorded_at(
            recording.samples, std::chrono::duration_cast<milliseconds>(t) + first_sample, m);
        low = std::min(low, angle);
        high = std::max(high, angle);
      }
      const double miss = std::max({0.0, low - position[m], position[m] - high});
      worst = std::max(worst, miss);
      if (m == 0 || m == 2) misses.push_back(miss);  // the motors the hand moved
    }
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(player.wait().state, PlayState::finished);
  ASSERT_GT(misses.size(), 2u * 50u);
  std::sort(misses.begin(), misses.end());
  EXPECT_LE(misses[misses.size() * 9 / 10], tolerance + 1.0);
  EXPECT_LE(worst, 20.0);
}

}  // namespace
}  // namespace tovlink::motion

namespace tovlink::motion {
namespace {

TEST(TeachByHand, ARobotLostMidRecordingEndsItKeepingTheSamplesTaken) {
  LoggedRobot robot;
  Recorder recorder{robot.robot(), 20ms};
  ASSERT_TRUE(testing::eventually([&] { return recorder.sample_count() >= 3; }));
  robot.sim().stop();  // the port goes away
  ASSERT_TRUE(testing::eventually([&] { return !recorder.recording(); }))
      << "the recorder notices, it does not keep trying";
  const auto recording = recorder.stop();
  EXPECT_GE(recording.samples.size(), 3u);
  ASSERT_TRUE(recording.error);
  EXPECT_EQ(recording.error->value(), errc::link_lost) << recording.error->what();
}

// tovlink-sim --hand: hand moves typed on standard input, while it serves.
TEST(TeachByHand, TheSimProgramTakesHandMovesFromItsInput) {
  const std::string command =
      std::string{
          "(printf '3 120\\n9 1\\n'; sleep 1) | "
          "timeout --preserve-status -s INT 2 "} +
      TOVLINK_SIM_PATH + " --hand --log 2>&1";
  FILE *program = ::popen(command.c_str(), "r");
  ASSERT_NE(program, nullptr);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, program) != nullptr) output += buffer;
  const int status = ::pclose(program);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_NE(output.find("-- hand moved motor 3 to 120"), std::string::npos) << output;
  EXPECT_NE(output.find("hand move '9 1' refused"), std::string::npos) << output;
}

}  // namespace
}  // namespace tovlink::motion
