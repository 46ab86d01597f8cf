// Through the shared library: calls that need no robot.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "output_capture.h"
#include "tovlink.h"

namespace {

using tovlink::test::output_capture;

TEST(Version, FillsExactlyEightBytes) {
  char buffer[10];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(tovlin_get_lib_ver(buffer, 8), TOVLINK_OK);
  EXPECT_EQ(std::string(buffer, 10), std::string("1.0.0.3\0##", 10));
}

TEST(Version, RefusesSmallOrNullBuffersUntouched) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(tovlin_get_lib_ver(buffer, 7), TOVLINK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(tovlin_get_lib_ver(buffer, 0), TOVLINK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(tovlin_get_lib_ver(nullptr, 64), TOVLINK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(std::string(buffer, 8), "########");
}

TEST(Version, NeedsNoConnectionAndLeavesTheLastErrorAlone) {
  tovlink_end(nullptr);  // leaves 2
  char buffer[64];
  output_capture capture;
  EXPECT_EQ(tovlin_get_lib_ver(buffer, UINT64_MAX), TOVLINK_OK);
  capture.finish();
  EXPECT_STREQ(buffer, "1.0.0.3");
  EXPECT_EQ(capture.err(), "");
  EXPECT_EQ(tovlink_get_lasterror(), TOVLINK_ERR_NOT_CONNECTED);
}

TEST(ExportedApi, EveryRobotOperationWithoutConnectionGivesTwo) {
  int32_t value = 0;
  char text[16] = {};
  uint32_t *h = nullptr;
  const uint32_t results[] = {
      tovlink_get_sensor_value(h, &value),
      tovlink_get_mic_value(h, &value),
      tovlink_get_mic_analog_value(h, &value),
      tovlink_get_battery_value(h, &value),
      tovlink_get_motor_power(h, &value),
      tovlink_get_motor_position(h, 1, &value),
      tovlink_get_motor_positions(h, &value, 0, 0, 0, 0, 0, 0),
      tovlink_who(h, text, sizeof text),
      tovlink_get_motorpower(h, text, sizeof text),
      tovlink_set_motorpower(h, text, sizeof text),
      tovlink_get_init(h, text, sizeof text),
      tovlink_get_info(h, text, sizeof text),
      tovlink_get_init_mic_range(h, text, sizeof text),
      tovlink_get_init_power_limit(h, text, sizeof text),
      tovlink_get_position(h, text, sizeof text),
      tovlink_motor_power_on(h, 500),
      tovlink_motor_power_off(h),
      tovlink_motor_start(h),
      tovlink_motor_set_pos(h, 1, 90),
      tovlink_motor_set_pos_rel(h, 1, 0),
      tovlink_motor_pos_all(h, 90, 90, 90, 90, 90, 90, 90),
      tovlink_motor_angle_time(h, 1, 90, 100),
      tovlink_motor_angle_time_rel(h, 1, 0, 100),
      tovlink_motor_angle_multi_time(h, 90, 90, 90, 90, 90, 90, 90, 100),
      tovlink_motor_adjust(h, 1, 0),
      tovlink_led_on(h, 1),
      tovlink_led_off(h, 1),
      tovlink_sound(h, 440, 100),
      tovlink_voice_speed(h, 100),
      tovlink_voice(h, "hi"),
  };
  output_capture quiet;
  for (uint32_t result : results) EXPECT_EQ(result, TOVLINK_ERR_NOT_CONNECTED);
  EXPECT_EQ(value, 0);
  EXPECT_STREQ(text, "");
}

}  // namespace
