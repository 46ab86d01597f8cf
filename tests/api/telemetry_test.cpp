// Telemetry getters: a fresh "#140" exchange, then the cached value.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "attached_robot.h"
#include "c_api_seams.h"
#include "output_capture.h"
#include "protocol/status_line.h"
#include "pty_device.h"

namespace tovlink {
namespace {

using namespace std::chrono_literals;
using test::output_capture;

const std::string k_status = test::status_line(1, 2, {10, 20, 30, 40, 50, 60, 70}, 80, 90, 100);

struct getter_case {
  const char *name;
  std::function<uint32_t(uint32_t *, int32_t *)> call;
  int32_t expected;
};

class Getter : public test::attached_robot, public ::testing::WithParamInterface<getter_case> {};

TEST_P(Getter, RefreshesTheCacheAndReturnsItsField) {
  device_.serve(test::robot_rules(k_status));
  int32_t value = -1;
  EXPECT_EQ(GetParam().call(handle(), &value), TOVLINK_OK);
  EXPECT_EQ(value, GetParam().expected);
  EXPECT_EQ(device_.received(), "#140\r");
}

TEST_P(Getter, ANonStatusReplyGivesTheValueCachedBefore) {
  device_.serve(test::robot_rules("NOT A STATUS LINE BUT LONG\r\n"));
  int32_t value = -1;
  EXPECT_EQ(GetParam().call(handle(), &value), TOVLINK_OK);
  EXPECT_EQ(value, 0) << "nothing was ever cached";
  g_telemetry = {7, 7, {7, 7, 7, 7, 7, 7, 7}, 7, 7, 7};
  EXPECT_EQ(GetParam().call(handle(), &value), TOVLINK_OK);
  EXPECT_EQ(value, 7);
}

TEST_P(Getter, ANullOutIsRefusedUnsent) {
  output_capture capture;
  EXPECT_EQ(GetParam().call(handle(), nullptr), TOVLINK_ERR_INVALID_ARGUMENT);
  capture.finish();
  EXPECT_EQ(capture.err(), "g_last_error=3\n");
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(device_.received(), "");
}

INSTANTIATE_TEST_SUITE_P(
    All, Getter,
    ::testing::Values(
        getter_case{"Sensor", tovlink_get_sensor_value, 1},
        getter_case{"Mic", tovlink_get_mic_value, 2},
        getter_case{"MicAnalog", tovlink_get_mic_analog_value, 100},
        getter_case{"Battery", tovlink_get_battery_value, 80},
        getter_case{"MotorPower", tovlink_get_motor_power, 90},
        getter_case{"Motor1",
                    [](uint32_t *h, int32_t *out) { return tovlink_get_motor_position(h, 1, out); },
                    10},
        getter_case{"Motor7",
                    [](uint32_t *h, int32_t *out) { return tovlink_get_motor_position(h, 7, out); },
                    70}),
    [](const auto &test_info) { return std::string(test_info.param.name); });

class Telemetry : public test::attached_robot {};

TEST_F(Telemetry, MotorPositionRefusesMotorsOutsideOneToSeven) {
  for (int32_t motor : {0, 8, -1, INT32_MIN, INT32_MAX}) {
    int32_t value = 5;
    output_capture capture;
    EXPECT_EQ(tovlink_get_motor_position(handle(), motor, &value), TOVLINK_ERR_INVALID_ARGUMENT);
    capture.finish();
    EXPECT_EQ(value, 5);
  }
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(device_.received(), "");
}

TEST_F(Telemetry, CachedPositionsNeedNoExchangeAndSkipNullPointers) {
  g_telemetry = {};
  for (int motor = 0; motor < 7; ++motor) g_telemetry.motor_position[motor] = 11 * (motor + 1);
  int32_t p1 = 0, p3 = 0, p7 = 0;
  EXPECT_EQ(
      tovlink_get_motor_positions(handle(), &p1, nullptr, &p3, nullptr, nullptr, nullptr, &p7),
      TOVLINK_OK);
  EXPECT_EQ(p1, 11);
  EXPECT_EQ(p3, 33);
  EXPECT_EQ(p7, 77);
  EXPECT_EQ(tovlink_get_motor_positions(handle(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                        nullptr, nullptr),
            TOVLINK_OK);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(device_.received(), "");
}

TEST_F(Telemetry, ATimeOutAfterPartOfAStatusLineRefreshesTheCacheButNotOut) {
  g_telemetry = {};
  // More than 22 bytes of a status line, then silence.
  device_.serve({{"#140", "S,5,6,M,15,25,35,45,55,65"}});
  int32_t value = -42;
  output_capture capture;
  EXPECT_EQ(tovlink_get_sensor_value(handle(), &value), TOVLINK_ERR_EXCHANGE);
  capture.finish();
  EXPECT_EQ(value, -42);
  EXPECT_EQ(g_telemetry.sensor_value, 5);
  EXPECT_EQ(g_telemetry.motor_position[5], 65);
  EXPECT_EQ(capture.out(), "[Err] Detect timeout.\n");
  EXPECT_EQ(capture.err(), "g_last_error=10005\ng_last_error=-1\n");
}

}  // namespace
}  // namespace tovlink
