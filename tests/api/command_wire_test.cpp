// The exact line every robot command puts on the wire, the argument checks
// that send nothing, and the failure path of an exchange.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <thread>

#include "attached_robot.h"
#include "c_api_seams.h"
#include "output_capture.h"
#include "pty_device.h"

namespace tovlink {
namespace {

using namespace std::chrono_literals;
using test::output_capture;

using command = std::function<uint32_t(uint32_t *)>;

struct wire_case {
  const char *name;
  command call;
  std::string wire;  // what the robot must receive; empty: nothing at all
  uint32_t result;
};

class CommandWire : public test::attached_robot, public ::testing::WithParamInterface<wire_case> {
 protected:
  void SetUp() override {
    attached_robot::SetUp();
    device_.serve(test::robot_rules(test::status_line(1, 2, {3, 4, 5, 6, 7, 8, 9}, 10, 11, 12)));
  }
};

TEST_P(CommandWire, SendsExactlyItsLine) {
  const wire_case &c = GetParam();
  output_capture capture;
  EXPECT_EQ(c.call(handle()), c.result);
  capture.finish();
  EXPECT_EQ(g_last_error, c.result);
  if (c.wire.empty()) {
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(device_.received(), "");
    EXPECT_EQ(capture.err(), "g_last_error=3\n");
  } else {
    EXPECT_EQ(device_.received(), c.wire);
    EXPECT_EQ(capture.err(), "");
  }
}

const std::string k_39(39, 'v');
const std::string k_40(40, 'v');

INSTANTIATE_TEST_SUITE_P(
    Motors, CommandWire,
    ::testing::Values(
        wire_case{"PowerOn500", [](uint32_t *h) { return tovlink_motor_power_on(h, 500); },
                  "#130\r#133,9,0500\r", 0},
        wire_case{"PowerOnLargest", [](uint32_t *h) { return tovlink_motor_power_on(h, INT_MAX); },
                  "#130\r#133,9,2147483647\r", 0},
        wire_case{"PowerOn499", [](uint32_t *h) { return tovlink_motor_power_on(h, 499); }, "", 3},
        wire_case{"PowerOnMin", [](uint32_t *h) { return tovlink_motor_power_on(h, INT_MIN); }, "",
                  3},
        wire_case{"PowerOff", [](uint32_t *h) { return tovlink_motor_power_off(h); }, "#131\r", 0},
        wire_case{"Start", [](uint32_t *h) { return tovlink_motor_start(h); }, "#134\r\r", 0},
        wire_case{"SetPosNarrowHigh", [](uint32_t *h) { return tovlink_motor_set_pos(h, 2, 200); },
                  "#132,1,125\r\r", 0},
        wire_case{"SetPosNarrowLow", [](uint32_t *h) { return tovlink_motor_set_pos(h, 6, 54); },
                  "#132,5,055\r\r", 0},
        wire_case{"SetPosWideNegative", [](uint32_t *h) { return tovlink_motor_set_pos(h, 1, -5); },
                  "#132,0,000\r\r", 0},
        wire_case{"SetPosWideHigh", [](uint32_t *h) { return tovlink_motor_set_pos(h, 7, 181); },
                  "#132,6,180\r\r", 0},
        wire_case{"SetPosExtremeAngle",
                  [](uint32_t *h) { return tovlink_motor_set_pos(h, 4, INT_MIN); },
                  "#132,3,000\r\r", 0},
        wire_case{"SetPosMotor0", [](uint32_t *h) { return tovlink_motor_set_pos(h, 0, 90); }, "",
                  3},
        wire_case{"SetPosMotor8", [](uint32_t *h) { return tovlink_motor_set_pos(h, 8, 90); }, "",
                  3},
        wire_case{"SetPosMotorMax",
                  [](uint32_t *h) { return tovlink_motor_set_pos(h, INT_MAX, 90); }, "", 3},
        wire_case{"SetPosRelIgnoresValue",
                  [](uint32_t *h) { return tovlink_motor_set_pos_rel(h, 3, 40); }, "#137,2,000\r\r",
                  0},
        wire_case{"SetPosRelMotorMinus1",
                  [](uint32_t *h) { return tovlink_motor_set_pos_rel(h, -1, 40); }, "", 3},
        wire_case{"PosAllLow",
                  [](uint32_t *h) { return tovlink_motor_pos_all(h, 0, 0, 0, 0, 0, 0, 0); },
                  "#136,000,055,055,000,055,055,000\r\r", 0},
        wire_case{"PosAllHigh",
                  [](uint32_t *h) {
                    return tovlink_motor_pos_all(h, 999, 999, 999, INT_MAX, 999, 999, 999);
                  },
                  "#136,180,125,125,180,125,125,180\r\r", 0},
        wire_case{"AngleTimeAllMotors",
                  [](uint32_t *h) { return tovlink_motor_angle_time(h, 255, 300, 1000); },
                  "#150,255,180,1000\r\r", 0},
        wire_case{"AngleTimeNegativeTime",
                  [](uint32_t *h) { return tovlink_motor_angle_time(h, 3, 90, -1); },
                  "#150,2,090,-001\r\r", 0},
        wire_case{"AngleTimeExtremeTime",
                  [](uint32_t *h) { return tovlink_motor_angle_time(h, 1, 0, INT_MIN); },
                  "#150,0,000,-2147483648\r\r", 0},
        wire_case{"AngleTimeMotor254",
                  [](uint32_t *h) { return tovlink_motor_angle_time(h, 254, 90, 10); }, "", 3},
        wire_case{"AngleTimeRelIgnoresValue",
                  [](uint32_t *h) { return tovlink_motor_angle_time_rel(h, 3, 40, 500); },
                  "#152,2,000,0500\r\r", 0},
        wire_case{"AngleTimeRelAllMotors",
                  [](uint32_t *h) { return tovlink_motor_angle_time_rel(h, 255, 7, 20); },
                  "#152,255,000,0020\r\r", 0},
        wire_case{"AngleTimeRelMotor8",
                  [](uint32_t *h) { return tovlink_motor_angle_time_rel(h, 8, 7, 20); }, "", 3},
        wire_case{
            "MultiTime",
            [](uint32_t *
                   h) { return tovlink_motor_angle_multi_time(h, 0, 0, 90, 90, 200, 200, -1, 1500); },
            "#151,000,055,090,090,125,125,000,1500\r\r", 0},
        wire_case{"AdjustNegative", [](uint32_t *h) { return tovlink_motor_adjust(h, 1, -5); },
                  "#810,0,-005\r\r", 0},
        wire_case{"AdjustWide", [](uint32_t *h) { return tovlink_motor_adjust(h, 7, 12345); },
                  "#810,6,12345\r\r", 0},
        wire_case{"AdjustMotor0", [](uint32_t *h) { return tovlink_motor_adjust(h, 0, 1); }, "",
                  3}),
    [](const auto &test_info) { return std::string(test_info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    LedSoundVoice, CommandWire,
    ::testing::Values(
        wire_case{"LedOnNegative", [](uint32_t *h) { return tovlink_led_on(h, -3); }, "#100,-3\r",
                  0},
        wire_case{"LedOff", [](uint32_t *h) { return tovlink_led_off(h, 2); }, "#101,2\r", 0},
        wire_case{"Sound", [](uint32_t *h) { return tovlink_sound(h, 440, 500); },
                  "#110,00440,0500\r", 0},
        wire_case{"SoundExtremes", [](uint32_t *h) { return tovlink_sound(h, INT_MIN, INT_MAX); },
                  "#110,-2147483648,2147483647\r", 0},
        wire_case{"Speed50", [](uint32_t *h) { return tovlink_voice_speed(h, 50); }, "#120,050\r",
                  0},
        wire_case{"Speed300", [](uint32_t *h) { return tovlink_voice_speed(h, 300); }, "#120,300\r",
                  0},
        wire_case{"Speed49", [](uint32_t *h) { return tovlink_voice_speed(h, 49); }, "", 3},
        wire_case{"Speed301", [](uint32_t *h) { return tovlink_voice_speed(h, 301); }, "", 3},
        wire_case{"Voice39", [](uint32_t *h) { return tovlink_voice(h, k_39.c_str()); },
                  "#121," + k_39 + "\r", 0},
        wire_case{"Voice40", [](uint32_t *h) { return tovlink_voice(h, k_40.c_str()); }, "", 3},
        wire_case{"VoiceEmpty", [](uint32_t *h) { return tovlink_voice(h, ""); }, "#121,\r", 0},
        wire_case{"VoiceBytesUnchanged",
                  [](uint32_t *h) { return tovlink_voice(h, "a,b\t\x82\xA0"); },
                  "#121,a,b\t\x82\xA0\r", 0},
        wire_case{"VoiceNull", [](uint32_t *h) { return tovlink_voice(h, nullptr); }, "", 3}),
    [](const auto &test_info) { return std::string(test_info.param.name); });

class CommandFrame : public test::attached_robot {};

TEST_F(CommandFrame, NoConnectionComesBeforeArgumentChecks) {
  serial_close(serial_);
  g_serial_t = nullptr;
  const command calls[] = {
      [](uint32_t *h) { return tovlink_motor_set_pos(h, 99, 0); },
      [](uint32_t *h) { return tovlink_motor_power_on(h, 1); },
      [](uint32_t *h) { return tovlink_voice(h, nullptr); },
      [](uint32_t *h) { return tovlink_get_sensor_value(h, nullptr); },
      [](uint32_t *h) { return tovlink_get_motor_position(h, 0, nullptr); },
      [](uint32_t *h) { return tovlink_who(h, nullptr, 0); },
      [](uint32_t *h) { return tovlink_get_motor_positions(h, 0, 0, 0, 0, 0, 0, 0); },
  };
  for (const command &call : calls) {
    output_capture capture;
    EXPECT_EQ(call(handle()), TOVLINK_ERR_NOT_CONNECTED);
    capture.finish();
    EXPECT_EQ(capture.err(), "g_serial_t=NULL\ng_last_error=2\n");
    EXPECT_EQ(g_last_error, TOVLINK_ERR_NOT_CONNECTED);
  }
}

TEST_F(CommandFrame, AFailedExchangePrintsTheUnderlyingCodeThenMinusOne) {
  output_capture capture;
  EXPECT_EQ(tovlink_motor_set_pos(handle(), 1, 90), TOVLINK_ERR_EXCHANGE);
  capture.finish();
  EXPECT_EQ(capture.out(), "[Err] Detect timeout.\n");
  EXPECT_EQ(capture.err(), "g_last_error=10005\ng_last_error=-1\n");
  EXPECT_EQ(g_last_error, TOVLINK_ERR_EXCHANGE);
}

TEST_F(CommandFrame, PowerOnStopsWhenItsFirstExchangeFails) {
  output_capture capture;
  EXPECT_EQ(tovlink_motor_power_on(handle(), 600), TOVLINK_ERR_EXCHANGE);
  capture.finish();
  EXPECT_EQ(device_.received(), "#130\r") << "the power value line is never sent";
  EXPECT_EQ(capture.err(), "g_last_error=10005\ng_last_error=-1\n");
}

TEST_F(CommandFrame, AMismatchedHandleIsReportedOncePerCheck) {
  device_.serve(test::robot_rules(test::status_line(1, 2, {3, 4, 5, 6, 7, 8, 9}, 10, 11, 12)));
  const std::string mismatch = "handle=0x";
  struct count_case {
    command call;
    int lines;
  } cases[] = {
      {[](uint32_t *h) { return tovlink_motor_set_pos(h, 1, 90); }, 3},
      {[](uint32_t *h) { return tovlink_motor_power_on(h, 500); }, 5},
      {[](uint32_t *h) { return tovlink_get_motor_positions(h, 0, 0, 0, 0, 0, 0, 0); }, 1},
      {[](uint32_t *h) {
         char buffer[64] = {};
         return tovlink_who(h, buffer, sizeof buffer);
       },
       3},
      {[](uint32_t *h) { return tovlink_led_on(h, 1); }, 3},
  };
  for (const count_case &c : cases) {
    output_capture capture;
    EXPECT_EQ(c.call(other_handle()), TOVLINK_OK) << "runs on the current connection";
    capture.finish();
    EXPECT_EQ(test::count_of(capture.err(), mismatch), c.lines) << capture.err();
    EXPECT_EQ(test::count_of(capture.err(), "\n"), c.lines) << "nothing else is printed";
  }
}

}  // namespace
}  // namespace tovlink
