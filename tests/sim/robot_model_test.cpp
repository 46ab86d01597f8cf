// The robot model through explicit time points: motion, release, battery and
// sensor readings, without sleeping.
#include "tovlink_sim/robot_model.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace tovlink::sim {
namespace {

const time_point t0 = clock::time_point{} + std::chrono::hours{1};

time_point at(int ms) {
  return t0 + milliseconds{ms};
}

TEST(RobotModel, TimedMoveIsLinearOverItsDuration) {
  robot_model model{t0};
  model.move_over(2, 150, milliseconds{1000}, at(0));
  struct sample {
    int ms;
    int expected;
  };
  for (const auto [ms, expected] : {sample{0, 90}, sample{250, 105}, sample{500, 120},
                                    sample{900, 144}, sample{1000, 150}, sample{5000, 150}}) {
    SCOPED_TRACE(ms);
    EXPECT_EQ(model.position_of(2, at(ms)), expected);
  }
  EXPECT_TRUE(model.sample(at(500)).moving[2]);
  EXPECT_FALSE(model.sample(at(1000)).moving[2]);
  // The other motors stay where they were.
  EXPECT_EQ(model.position_of(1, at(500)), home_angle);
}

TEST(RobotModel, CommandsAddressOneMotorOrAll) {
  struct command_case {
    const char *name;
    void (*apply)(robot_model &);
    std::array<int, motor_count> expected;
  };
  const command_case cases[] = {
      {"immediate move",
       [](robot_model &m) { m.set_position(0, 30, at(0)); },
       {30, 90, 90, 90, 90, 90, 90}},
      {"all motors, timed, half way",
       [](robot_model &m) { m.move_over(all_motors, 170, milliseconds{200}, at(0)); },
       {130, 130, 130, 130, 130, 130, 130}},
      {"angle clamped",
       [](robot_model &m) { m.set_position(6, 400, at(0)); },
       {90, 90, 90, 90, 90, 90, 180}},
      {"motor out of range ignored",
       [](robot_model &m) { m.set_position(7, 10, at(0)); },
       {90, 90, 90, 90, 90, 90, 90}},
      {"zero duration is immediate",
       [](robot_model &m) { m.move_over(3, 10, milliseconds{0}, at(0)); },
       {90, 90, 90, 10, 90, 90, 90}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    robot_model model{t0};
    c.apply(model);
    EXPECT_EQ(model.sample(at(100)).positions, c.expected);
  }
}

TEST(RobotModel, NewMoveStartsFromWhereTheServoIs) {
  robot_model model{t0};
  model.move_over(0, 190, milliseconds{1000}, at(0));  // clamped to 180
  model.move_over(0, 0, milliseconds{1000}, at(500));  // from 135
  EXPECT_EQ(model.position_of(0, at(500)), 135);
  EXPECT_EQ(model.position_of(0, at(1000)), 68);
  EXPECT_EQ(model.position_of(0, at(1500)), 0);
}

TEST(RobotModel, ReleaseHoldsTheServoWhereItIs) {
  robot_model model{t0};
  model.move_over(all_motors, 150, milliseconds{1000}, at(0));
  model.release(4, at(500));
  auto state = model.sample(at(2000));
  EXPECT_EQ(state.positions[4], 120);
  EXPECT_TRUE(state.released[4]);
  EXPECT_EQ(state.positions[3], 150);
  EXPECT_FALSE(state.released[3]);

  model.set_position(4, 60, at(2000));
  state = model.sample(at(2000));
  EXPECT_EQ(state.positions[4], 60);
  EXPECT_FALSE(state.released[4]);
}

TEST(RobotModel, BatteryDrainsFasterWhilePowered) {
  robot_model idle{t0};
  robot_model powered{t0};
  powered.motor_power_on(at(0));
  powered.set_power_value(800, at(0));
  const auto idle_state = idle.sample(at(100'000));
  const auto powered_state = powered.sample(at(100'000));
  EXPECT_EQ(idle_state.battery_mv, 7880);
  EXPECT_EQ(powered_state.battery_mv, 7700);
  EXPECT_EQ(powered_state.reported_power, 800);

  // Power off half way: the second half drains at the idle rate.
  robot_model switched{t0};
  switched.motor_power_on(at(0));
  switched.motor_power_off(at(50'000));
  EXPECT_EQ(switched.sample(at(100'000)).battery_mv, 7790);
  EXPECT_EQ(switched.sample(at(100'000)).reported_power, 0);

  // The gauge stops at empty.
  EXPECT_EQ(powered.sample(at(10'000'000)).battery_mv, static_cast<int>(empty_battery_mv));
}

TEST(RobotModel, SensorAndMicrophoneVaryWithinTheirRanges) {
  robot_model model{t0, 7};
  std::set<int> sensors;
  std::set<int> quiet_levels;
  for (int ms = 0; ms < 11'000; ms += 250) {
    const auto s = model.sample(at(ms));
    ASSERT_GE(s.sensor, 0);
    ASSERT_LE(s.sensor, analog_max);
    ASSERT_GE(s.mic_analog, 0);
    ASSERT_LE(s.mic_analog, analog_max);
    ASSERT_LE(s.mic, mic_level_max);
    sensors.insert(s.sensor);
    quiet_levels.insert(s.mic);
  }
  // Something drifts in front of the sensor: far more than noise apart.
  EXPECT_GT(*sensors.rbegin() - *sensors.begin(), 200);
  EXPECT_GT(quiet_levels.size(), 1u);

  // The robot hears itself speak.
  model.speak("hello there", at(20'000));
  const auto speaking = model.sample(at(20'100));
  EXPECT_TRUE(speaking.speaking);
  EXPECT_GT(speaking.mic, *quiet_levels.rbegin());
  EXPECT_FALSE(model.sample(at(30'000)).speaking);
}

TEST(RobotModel, KeepsLedsToneSpeechAndSettings) {
  robot_model model{t0};
  model.set_led(3, true);
  model.set_led(1, true);
  model.set_led(3, true);
  model.set_led(2, false);
  model.set_led(7, true);  // the robot has LEDs 1-6 only
  model.set_led(0, true);
  model.play_tone({440, 300}, at(0));
  model.set_voice_speed(150);
  model.set_adjustment(5, -12);
  model.set_power_value(900, at(0));
  model.save_power_limit();
  model.start_motors();
  const auto s = model.sample(at(100));
  EXPECT_EQ(s.leds_on, (std::vector<int>{1, 3}));
  ASSERT_TRUE(s.last_tone.has_value());
  EXPECT_EQ(s.last_tone->frequency_hz, 440);
  EXPECT_TRUE(s.sounding);
  EXPECT_FALSE(model.sample(at(400)).sounding);
  EXPECT_EQ(s.voice_speed, 150);
  EXPECT_EQ(s.adjustments[5], -12);
  EXPECT_EQ(s.saved_power_limit, 900);
  EXPECT_TRUE(s.started);
  model.set_led(1, false);
  EXPECT_EQ(model.sample(at(100)).leds_on, (std::vector<int>{3}));
}

}  // namespace
}  // namespace tovlink::sim
