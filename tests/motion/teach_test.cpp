// Teach by hand: with motor power off a person moves the virtual robot's
// arm through a curve; the recorder follows it through telemetry, reduce()
// keeps a handful of keyframes, and the motion played back puts the robot
// on the same curve within the tolerance.
#include <gtest/gtest.h>

#include <cmath>
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

TEST(TeachByHand, AHandMovedCurveIsRecordedReducedAndPlayedBackWithinTheTolerance) {
  LoggedRobot robot;
  robot.robot().power_on();
  EXPECT_FALSE(robot.sim().move_by_hand(1, 120)) << "a powered servo holds against the hand";
  robot.robot().power_off();

  const auto recording_start = steady::now();
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

  // Played back: every position the robot takes lies within the tolerance
  // of the hand's curve at the same point of the motion.  Motion time m is
  // the hand's time m - lead.  The robot runs behind the schedule by the
  // lines' lateness, and samples were stamped within an exchange of the
  // reading: the curve is taken over a window that allows for both.
  const auto lead = hand_start - (recording_start + recording.samples.front().time);
  robot.robot().power_on();
  PlayOptions options;
  options.start_at = std::chrono::system_clock::now() + 200ms;
  const auto motion_zero = steady::now() + 200ms;
  Player player{robot.robot(), kept, options};
  constexpr auto slack = 60ms;
  int checked = 0;
  double worst = 0;
  while (!is_over(player.state())) {
    const auto from = steady::now() - motion_zero - lead - slack;
    const auto position = robot.sim().state().positions;
    const auto to = steady::now() - motion_zero - lead + slack;
    for (std::size_t m = 0; m < motor_count; ++m) {
      double low = 180;
      double high = 0;
      for (auto t = from; t <= to; t += 1ms) {
        low = std::min<double>(low, hand_at(t)[m]);
        high = std::max<double>(high, hand_at(t)[m]);
      }
      worst = std::max({worst, low - position[m], position[m] - high});
    }
    ++checked;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(player.wait().state, PlayState::finished);
  EXPECT_GT(checked, 50);
  // A degree more for the recorder's rounding of the positions it read.
  EXPECT_LE(worst, tolerance + 1.0);
}

}  // namespace
}  // namespace tovlink::motion
