// The library, through its exported functions, against the virtual robot:
// what a host sees of the robot's motion and of each fault option.  A
// successful connect costs at least 3.5 s of fixed pauses, so the checks of
// one connection share it.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>

#include "sim_options.hpp"
#include "tovlink.h"
#include "tovlink_sim/virtual_robot.hpp"

namespace tovlink::sim {
namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using test::faults;
using test::with_faults;

constexpr std::int32_t baud = 115200;

std::uint32_t *connect_to(const virtual_robot &robot) {
  return tovlink_connect(robot.slave_path().c_str(), baud);
}

std::int32_t position_of(std::uint32_t *handle, std::int32_t motor) {
  std::int32_t position = -1;
  EXPECT_EQ(tovlink_get_motor_position(handle, motor, &position), TOVLINK_OK);
  return position;
}

std::string text_reply(std::uint32_t (*query)(std::uint32_t *, char *, std::uint64_t),
                       std::uint32_t *handle) {
  std::array<char, 128> buffer{};
  EXPECT_EQ(query(handle, buffer.data(), buffer.size() - 1), TOVLINK_OK);
  return buffer.data();
}

TEST(LibraryAgainstSim, OneConnectionSeesTheRobotLive) {
  virtual_robot robot;
  robot.start();
  auto *handle = connect_to(robot);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(tovlink_get_lasterror(), TOVLINK_OK);

  // Telemetry of a robot just switched on.
  std::int32_t battery = 0;
  std::int32_t power = -1;
  std::int32_t sensor = -1;
  ASSERT_EQ(tovlink_get_battery_value(handle, &battery), TOVLINK_OK);
  EXPECT_LE(battery, 7900);
  EXPECT_GT(battery, 7800);
  ASSERT_EQ(tovlink_get_sensor_value(handle, &sensor), TOVLINK_OK);
  EXPECT_GE(sensor, 0);
  EXPECT_LE(sensor, analog_max);
  ASSERT_EQ(tovlink_get_motor_power(handle, &power), TOVLINK_OK);
  EXPECT_EQ(power, 0);

  struct query_case {
    const char *name;
    std::uint32_t (*query)(std::uint32_t *, char *, std::uint64_t);
    const char *reply;
  };
  const query_case queries[] = {
      {"who", tovlink_who, "WHO,TovSim,VR-0001\r\n"},
      {"mic range", tovlink_get_init_mic_range, "MIC,0,100\r\n"},
      {"power limit", tovlink_get_init_power_limit, "PL,0\r\n"},
      {"init", tovlink_get_init, "INIT,0,0,0,0,0,0,0,V,100\r\n"},
      {"position", tovlink_get_position, "POS,90,90,90,90,90,90,90\r\n"},
      {"motor power", tovlink_get_motorpower, "MP,0,0\r\n"},
  };
  for (const auto &q : queries) {
    SCOPED_TRACE(q.name);
    EXPECT_EQ(text_reply(q.query, handle), q.reply);
  }

  // Every command is acknowledged and lands in the robot's state.
  struct command_case {
    const char *name;
    std::uint32_t code;
  };
  const command_case commands[] = {
      {"power on", tovlink_motor_power_on(handle, 800)},
      {"start", tovlink_motor_start(handle)},
      {"led on", tovlink_led_on(handle, 3)},
      {"led on", tovlink_led_on(handle, 5)},
      {"led off", tovlink_led_off(handle, 5)},
      {"sound", tovlink_sound(handle, 440, 300)},
      {"speech speed", tovlink_voice_speed(handle, 120)},
      {"speech", tovlink_voice(handle, "hello, robot")},
      {"adjust", tovlink_motor_adjust(handle, 2, -5)},
      {"immediate move", tovlink_motor_set_pos(handle, 1, 120)},
  };
  for (const auto &c : commands) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.code, TOVLINK_OK);
  }
  auto state = robot.state();
  EXPECT_TRUE(state.motor_power);
  EXPECT_TRUE(state.started);
  EXPECT_EQ(state.leds_on, (std::vector<int>{3}));
  ASSERT_TRUE(state.last_tone.has_value());
  EXPECT_EQ(state.last_tone->frequency_hz, 440);
  EXPECT_EQ(state.voice_speed, 120);
  EXPECT_EQ(state.last_speech, "hello, robot");
  EXPECT_EQ(state.adjustments[1], -5);
  EXPECT_EQ(position_of(handle, 1), 120);
  ASSERT_EQ(tovlink_get_motor_power(handle, &power), TOVLINK_OK);
  EXPECT_EQ(power, 800);

  // A timed move is seen part way, then arrived.
  const auto started = steady::now();
  ASSERT_EQ(tovlink_motor_angle_time(handle, 2, 120, 1000), TOVLINK_OK);
  std::this_thread::sleep_until(started + 400ms);
  const auto part_way = position_of(handle, 2);
  EXPECT_GT(part_way, 90);
  EXPECT_LT(part_way, 120);
  std::this_thread::sleep_until(started + 1100ms);
  EXPECT_EQ(position_of(handle, 2), 120);

  // All motors over time, then released where they are.
  ASSERT_EQ(tovlink_motor_angle_multi_time(handle, 10, 60, 70, 80, 100, 110, 170, 300), TOVLINK_OK);
  std::this_thread::sleep_for(400ms);
  std::array<std::int32_t, motor_count> p{};
  ASSERT_EQ(tovlink_get_motor_position(handle, 1, &p[0]), TOVLINK_OK);
  ASSERT_EQ(tovlink_get_motor_positions(handle, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6]),
            TOVLINK_OK);
  EXPECT_EQ(p, (std::array<std::int32_t, motor_count>{10, 60, 70, 80, 100, 110, 170}));
  EXPECT_EQ(tovlink_motor_set_pos_rel(handle, 4, 0), TOVLINK_OK);
  EXPECT_EQ(tovlink_motor_angle_time_rel(handle, 255, 0, 100), TOVLINK_OK);
  EXPECT_TRUE(robot.state().released[3]);
  EXPECT_EQ(text_reply(tovlink_get_position, handle), "POS,10,60,70,80,100,110,170\r\n");

  EXPECT_EQ(tovlink_motor_power_off(handle), TOVLINK_OK);
  ASSERT_EQ(tovlink_get_motor_power(handle, &power), TOVLINK_OK);
  EXPECT_EQ(power, 0);
  tovlink_end(handle);
  EXPECT_EQ(robot.host_opens(), 1u);
}

TEST(LibraryAgainstSim, NextConnectionFindsTheRobotAsLeft) {
  virtual_robot robot;
  robot.start();
  auto *first = connect_to(robot);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(tovlink_motor_set_pos(first, 7, 30), TOVLINK_OK);
  tovlink_end(first);

  auto *second = connect_to(robot);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(tovlink_get_lasterror(), TOVLINK_OK);
  EXPECT_EQ(position_of(second, 7), 30);
  tovlink_end(second);
}

TEST(LibraryAgainstSim, ConnectFailsAtTheFaultyStep) {
  struct failure_case {
    const char *name;
    fault_options faults;
    std::uint32_t code;
  };
  const failure_case cases[] = {
      {"silent adapter", faults([](fault_options &f) { f.silent = true; }), TOVLINK_ERR_RECEIVE},
      // Noise in front of "CMD" means no line begins with it.
      {"line noise", faults([](fault_options &f) { f.garbage = true; }), TOVLINK_ERR_RECEIVE},
      {"link rejected", faults([](fault_options &f) { f.reject_link = true; }),
       TOVLINK_ERR_CONNECT_LINK_REPLY},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    virtual_robot robot{with_faults(c.faults)};
    robot.start();
    EXPECT_EQ(connect_to(robot), nullptr);
    EXPECT_EQ(tovlink_get_lasterror(), c.code);
  }
}

TEST(LibraryAgainstSim, MissingDataModeLineStillConnects) {
  virtual_robot robot{with_faults(faults([](fault_options &f) { f.no_mldp = true; }))};
  robot.start();
  auto *handle = connect_to(robot);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(tovlink_get_lasterror(), TOVLINK_ERR_RECEIVE);
  std::int32_t battery = 0;
  EXPECT_EQ(tovlink_get_battery_value(handle, &battery), TOVLINK_OK);
  EXPECT_GT(battery, 0);
  tovlink_end(handle);
}

TEST(LibraryAgainstSim, SlowFragmentedRepliesStillMakeWholeLines) {
  virtual_robot robot{with_faults(faults([](fault_options &f) {
    f.latency = 100ms;
    f.split = true;
  }))};
  robot.start();
  auto *handle = connect_to(robot);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(tovlink_get_lasterror(), TOVLINK_OK);
  ASSERT_EQ(tovlink_motor_set_pos(handle, 3, 100), TOVLINK_OK);
  EXPECT_EQ(position_of(handle, 3), 100);
  EXPECT_EQ(text_reply(tovlink_who, handle), "WHO,TovSim,VR-0001\r\n");
  tovlink_end(handle);
}

TEST(LibraryAgainstSim, DroppedReplyFailsOnlyItsExchange) {
  // The connect takes four replies; the sixth reply overall is dropped.
  virtual_robot robot{with_faults(faults([](fault_options &f) { f.drop_every = 6; }))};
  robot.start();
  auto *handle = connect_to(robot);
  ASSERT_NE(handle, nullptr);
  std::int32_t value = 0;
  EXPECT_EQ(tovlink_get_sensor_value(handle, &value), TOVLINK_OK);
  EXPECT_EQ(tovlink_get_sensor_value(handle, &value), TOVLINK_ERR_EXCHANGE);
  EXPECT_EQ(tovlink_get_sensor_value(handle, &value), TOVLINK_OK);
  tovlink_end(handle);
}

TEST(LibraryAgainstSim, UnpluggedRobotStopsAnswering) {
  virtual_robot robot{with_faults(faults([](fault_options &f) { f.unplug_after = 4500ms; }))};
  robot.start();
  auto *handle = connect_to(robot);
  ASSERT_NE(handle, nullptr);
  std::int32_t value = 0;
  EXPECT_EQ(tovlink_get_battery_value(handle, &value), TOVLINK_OK);
  const auto until = steady::now() + 10s;
  while (robot.serving() && steady::now() < until) std::this_thread::sleep_for(20ms);
  ASSERT_FALSE(robot.serving());
  EXPECT_EQ(tovlink_get_battery_value(handle, &value), TOVLINK_ERR_EXCHANGE);
  tovlink_end(handle);
}

}  // namespace
}  // namespace tovlink::sim
