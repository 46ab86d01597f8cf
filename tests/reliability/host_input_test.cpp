// Bad input from the host: every export with null pointers, zero and huge
// sizes, motors and values at the ends of the int32 range, over-long texts
// and garbage handles.  Each row states its code and the exact bytes that
// reach the robot; the host's buffers carry guard bytes on both sides.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "attached_robot.h"
#include "c_api_seams.h"
#include "output_capture.h"
#include "pty_device.h"
#include "reliability_support.h"

namespace tovlink {
namespace {

using namespace std::chrono_literals;
using test::guarded_buffer;
using test::output_capture;

constexpr uint64_t k_huge = UINT64_MAX;
constexpr int32_t k_sentinel = -123456;

// An int32 the library may write, between guard words.
struct guarded_int {
  int32_t before[4] = {k_sentinel, k_sentinel, k_sentinel, k_sentinel};
  int32_t value = k_sentinel;
  int32_t after[4] = {k_sentinel, k_sentinel, k_sentinel, k_sentinel};

  bool guards_intact() const {
    for (int i = 0; i < 4; ++i) {
      if (before[i] != k_sentinel || after[i] != k_sentinel) return false;
    }
    return true;
  }
};

// The host's memory for one call: text buffers of several sizes, seven int
// outs, and texts for the voice.
struct host_memory {
  guarded_buffer text{256};
  guarded_buffer small{1};
  guarded_buffer exact{4};
  guarded_buffer version{8};
  guarded_int outs[7];
  // Exactly 40 bytes with no terminating zero: reading one byte more is an
  // overrun the address sanitizer reports.
  std::unique_ptr<char[]> unterminated = std::make_unique<char[]>(40);
  std::string text39 = std::string(39, 'a');
  std::string text40 = std::string(40, 'b');
  std::string text10000 = std::string(10000, 'c');

  host_memory() { std::memset(unterminated.get(), 'u', 40); }

  bool guards_intact() const {
    for (const guarded_int &out : outs) {
      if (!out.guards_intact()) return false;
    }
    return text.guards_intact() && small.guards_intact() && exact.guards_intact() &&
           version.guards_intact();
  }
  int32_t *out(int index = 0) { return &outs[index].value; }
};

using host_call = std::function<uint32_t(uint32_t *handle, host_memory &memory)>;

struct input_case {
  std::string name;
  host_call call;
  uint32_t code;     // with a robot connected
  std::string wire;  // exactly what reaches the robot
  bool robot_operation = true;
};

const std::string k_status = test::status_line(11, 22, {1, 2, 3, 4, 5, 6, 7}, 77, 500, 33);
const std::string k_max = "2147483647";
const std::string k_min = "-2147483648";

input_case refused(std::string name, host_call call) {
  return {std::move(name), std::move(call), TOVLINK_ERR_INVALID_ARGUMENT, ""};
}

input_case sent(std::string name, host_call call, std::string wire) {
  return {std::move(name), std::move(call), TOVLINK_OK, std::move(wire)};
}

std::vector<input_case> telemetry_cases() {
  return {
      refused("SensorNullOut",
              [](uint32_t *h, host_memory &) { return tovlink_get_sensor_value(h, nullptr); }),
      refused("MicNullOut",
              [](uint32_t *h, host_memory &) { return tovlink_get_mic_value(h, nullptr); }),
      refused("MicAnalogNullOut",
              [](uint32_t *h, host_memory &) { return tovlink_get_mic_analog_value(h, nullptr); }),
      refused("BatteryNullOut",
              [](uint32_t *h, host_memory &) { return tovlink_get_battery_value(h, nullptr); }),
      refused("MotorPowerNullOut",
              [](uint32_t *h, host_memory &) { return tovlink_get_motor_power(h, nullptr); }),
      sent(
          "Battery",
          [](uint32_t *h, host_memory &m) { return tovlink_get_battery_value(h, m.out()); },
          "#140\r"),
      refused(
          "PositionMotor0",
          [](uint32_t *h, host_memory &m) { return tovlink_get_motor_position(h, 0, m.out()); }),
      refused(
          "PositionMotor8",
          [](uint32_t *h, host_memory &m) { return tovlink_get_motor_position(h, 8, m.out()); }),
      refused(
          "PositionMotorMinus1",
          [](uint32_t *h, host_memory &m) { return tovlink_get_motor_position(h, -1, m.out()); }),
      refused("PositionMotorIntMin",
              [](uint32_t *h, host_memory &m) {
                return tovlink_get_motor_position(h, INT_MIN, m.out());
              }),
      refused("PositionMotorIntMax",
              [](uint32_t *h, host_memory &m) {
                return tovlink_get_motor_position(h, INT_MAX, m.out());
              }),
      refused("PositionNullOut",
              [](uint32_t *h, host_memory &) { return tovlink_get_motor_position(h, 1, nullptr); }),
      sent(
          "PositionMotor7",
          [](uint32_t *h, host_memory &m) { return tovlink_get_motor_position(h, 7, m.out()); },
          "#140\r"),
      sent(
          "PositionsAllNull",
          [](uint32_t *h, host_memory &) {
            return tovlink_get_motor_positions(h, nullptr, nullptr, nullptr, nullptr, nullptr,
                                               nullptr, nullptr);
          },
          ""),
      sent(
          "PositionsAll",
          [](uint32_t *h, host_memory &m) {
            return tovlink_get_motor_positions(h, m.out(0), m.out(1), m.out(2), m.out(3), m.out(4),
                                               m.out(5), m.out(6));
          },
          ""),
  };
}

std::vector<input_case> text_query_cases() {
  return {
      refused("WhoNullBuffer",
              [](uint32_t *h, host_memory &) { return tovlink_who(h, nullptr, 64); }),
      refused("WhoNullBufferHugeSize",
              [](uint32_t *h, host_memory &) { return tovlink_who(h, nullptr, k_huge); }),
      refused("WhoZeroSize",
              [](uint32_t *h, host_memory &m) { return tovlink_who(h, m.text.data(), 0); }),
      {"WhoOneByte", [](uint32_t *h, host_memory &m) { return tovlink_who(h, m.small.data(), 1); },
       TOVLINK_ERR_EXCHANGE, "#800\r"},
      sent(
          "WhoExactSize",
          [](uint32_t *h, host_memory &m) { return tovlink_who(h, m.exact.data(), 4); }, "#800\r"),
      sent(
          "WhoHugeSizeLargeBuffer",
          [](uint32_t *h, host_memory &m) { return tovlink_who(h, m.text.data(), k_huge); },
          "#800\r"),
      refused(
          "GetMotorpowerZeroSize",
          [](uint32_t *h, host_memory &m) { return tovlink_get_motorpower(h, m.text.data(), 0); }),
      refused(
          "SetMotorpowerNullBuffer",
          [](uint32_t *h, host_memory &) { return tovlink_set_motorpower(h, nullptr, k_huge); }),
      sent(
          "SetMotorpowerHugeSize",
          [](uint32_t *h, host_memory &m) {
            return tovlink_set_motorpower(h, m.text.data(), k_huge);
          },
          "#803\r"),
      refused("InitNullBuffer",
              [](uint32_t *h, host_memory &) { return tovlink_get_init(h, nullptr, 8); }),
      refused("InfoZeroSize",
              [](uint32_t *h, host_memory &m) { return tovlink_get_info(h, m.text.data(), 0); }),
      refused("MicRangeNullBuffer",
              [](uint32_t *h, host_memory &) { return tovlink_get_init_mic_range(h, nullptr, 0); }),
      {"PowerLimitOneByte",
       [](uint32_t *h, host_memory &m) {
         return tovlink_get_init_power_limit(h, m.small.data(), 1);
       },
       TOVLINK_ERR_EXCHANGE, "#807\r"},
      sent(
          "PositionHugeSize",
          [](uint32_t *h, host_memory &m) {
            return tovlink_get_position(h, m.text.data(), k_huge);
          },
          "#142\r"),
  };
}

// Motor numbers every motor command must refuse.
const int32_t k_bad_motors[] = {0, 8, -1, INT_MIN, INT_MAX};

std::vector<input_case> motor_cases() {
  std::vector<input_case> cases = {
      refused("PowerOnIntMin",
              [](uint32_t *h, host_memory &) { return tovlink_motor_power_on(h, INT_MIN); }),
      refused("PowerOn499",
              [](uint32_t *h, host_memory &) { return tovlink_motor_power_on(h, 499); }),
      sent(
          "PowerOnIntMax",
          [](uint32_t *h, host_memory &) { return tovlink_motor_power_on(h, INT_MAX); },
          "#130\r#133,9," + k_max + "\r"),
      sent(
          "SetPosMotor1IntMin",
          [](uint32_t *h, host_memory &) { return tovlink_motor_set_pos(h, 1, INT_MIN); },
          "#132,0,000\r\r"),
      sent(
          "SetPosMotor1IntMax",
          [](uint32_t *h, host_memory &) { return tovlink_motor_set_pos(h, 1, INT_MAX); },
          "#132,0,180\r\r"),
      sent(
          "SetPosMotor2IntMin",
          [](uint32_t *h, host_memory &) { return tovlink_motor_set_pos(h, 2, INT_MIN); },
          "#132,1,055\r\r"),
      sent(
          "SetPosMotor6IntMax",
          [](uint32_t *h, host_memory &) { return tovlink_motor_set_pos(h, 6, INT_MAX); },
          "#132,5,125\r\r"),
      sent(
          "SetPosRelMotor7IntMin",
          [](uint32_t *h, host_memory &) { return tovlink_motor_set_pos_rel(h, 7, INT_MIN); },
          "#137,6,000\r\r"),
      sent(
          "PosAllIntMin",
          [](uint32_t *h, host_memory &) {
            return tovlink_motor_pos_all(h, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN,
                                         INT_MIN);
          },
          "#136,000,055,055,000,055,055,000\r\r"),
      sent(
          "PosAllIntMax",
          [](uint32_t *h, host_memory &) {
            return tovlink_motor_pos_all(h, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX,
                                         INT_MAX);
          },
          "#136,180,125,125,180,125,125,180\r\r"),
      sent(
          "AngleTimeAllMotorsIntMin",
          [](uint32_t *h, host_memory &) {
            return tovlink_motor_angle_time(h, 255, INT_MIN, INT_MIN);
          },
          "#150,255,000," + k_min + "\r\r"),
      sent(
          "AngleTimeMotor1IntMax",
          [](uint32_t *h, host_memory &) {
            return tovlink_motor_angle_time(h, 1, INT_MAX, INT_MAX);
          },
          "#150,0,180," + k_max + "\r\r"),
      refused("AngleTimeMotor254",
              [](uint32_t *h, host_memory &) { return tovlink_motor_angle_time(h, 254, 90, 100); }),
      refused("AngleTimeMotor256",
              [](uint32_t *h, host_memory &) { return tovlink_motor_angle_time(h, 256, 90, 100); }),
      sent(
          "AngleTimeRelAllMotorsIntMin",
          [](uint32_t *h, host_memory &) {
            return tovlink_motor_angle_time_rel(h, 255, INT_MAX, INT_MIN);
          },
          "#152,255,000," + k_min + "\r\r"),
      sent(
          "MultiTimeIntMax",
          [](uint32_t *h, host_memory &) {
            return tovlink_motor_angle_multi_time(h, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX,
                                                  INT_MAX, INT_MAX, INT_MAX);
          },
          "#151,180,125,125,180,125,125,180," + k_max + "\r\r"),
      sent(
          "MultiTimeIntMin",
          [](uint32_t *h, host_memory &) {
            return tovlink_motor_angle_multi_time(h, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN,
                                                  INT_MIN, INT_MIN, INT_MIN);
          },
          "#151,000,055,055,000,055,055,000," + k_min + "\r\r"),
      sent(
          "AdjustMotor1IntMin",
          [](uint32_t *h, host_memory &) { return tovlink_motor_adjust(h, 1, INT_MIN); },
          "#810,0," + k_min + "\r\r"),
      sent(
          "AdjustMotor7IntMax",
          [](uint32_t *h, host_memory &) { return tovlink_motor_adjust(h, 7, INT_MAX); },
          "#810,6," + k_max + "\r\r"),
  };
  for (int32_t motor : k_bad_motors) {
    std::string suffix = std::to_string(motor);
    for (auto &[label, call] : std::vector<std::pair<std::string, host_call>>{
             {"SetPos",
              [motor](uint32_t *h, host_memory &) { return tovlink_motor_set_pos(h, motor, 90); }},
             {"SetPosRel",
              [motor](uint32_t *h, host_memory &) {
                return tovlink_motor_set_pos_rel(h, motor, 1);
              }},
             {"AngleTime",
              [motor](uint32_t *h, host_memory &) {
                return tovlink_motor_angle_time(h, motor, 90, 100);
              }},
             {"AngleTimeRel",
              [motor](uint32_t *h, host_memory &) {
                return tovlink_motor_angle_time_rel(h, motor, 1, 100);
              }},
             {"Adjust",
              [motor](uint32_t *h, host_memory &) { return tovlink_motor_adjust(h, motor, 1); }},
         }) {
      std::string number = motor < 0 ? "Minus" + std::to_string(-int64_t{motor}) : suffix;
      cases.push_back(refused(label + "Motor" + number, call));
    }
  }
  return cases;
}

std::vector<input_case> led_sound_voice_cases() {
  return {
      sent(
          "LedOnIntMin", [](uint32_t *h, host_memory &) { return tovlink_led_on(h, INT_MIN); },
          "#100," + k_min + "\r"),
      sent(
          "LedOffIntMax", [](uint32_t *h, host_memory &) { return tovlink_led_off(h, INT_MAX); },
          "#101," + k_max + "\r"),
      sent(
          "SoundIntMin",
          [](uint32_t *h, host_memory &) { return tovlink_sound(h, INT_MIN, INT_MIN); },
          "#110," + k_min + "," + k_min + "\r"),
      sent(
          "SoundIntMax",
          [](uint32_t *h, host_memory &) { return tovlink_sound(h, INT_MAX, INT_MAX); },
          "#110," + k_max + "," + k_max + "\r"),
      refused("VoiceSpeed49",
              [](uint32_t *h, host_memory &) { return tovlink_voice_speed(h, 49); }),
      refused("VoiceSpeed301",
              [](uint32_t *h, host_memory &) { return tovlink_voice_speed(h, 301); }),
      refused("VoiceSpeedIntMin",
              [](uint32_t *h, host_memory &) { return tovlink_voice_speed(h, INT_MIN); }),
      refused("VoiceSpeedIntMax",
              [](uint32_t *h, host_memory &) { return tovlink_voice_speed(h, INT_MAX); }),
      sent(
          "VoiceSpeed50", [](uint32_t *h, host_memory &) { return tovlink_voice_speed(h, 50); },
          "#120,050\r"),
      refused("VoiceNull", [](uint32_t *h, host_memory &) { return tovlink_voice(h, nullptr); }),
      sent(
          "VoiceEmpty", [](uint32_t *h, host_memory &) { return tovlink_voice(h, ""); }, "#121,\r"),
      sent(
          "Voice39Bytes",
          [](uint32_t *h, host_memory &m) { return tovlink_voice(h, m.text39.c_str()); },
          "#121," + std::string(39, 'a') + "\r"),
      refused("Voice40Bytes",
              [](uint32_t *h, host_memory &m) { return tovlink_voice(h, m.text40.c_str()); }),
      refused("Voice10000Bytes",
              [](uint32_t *h, host_memory &m) { return tovlink_voice(h, m.text10000.c_str()); }),
      refused("Voice40BytesUnterminated",
              [](uint32_t *h, host_memory &m) { return tovlink_voice(h, m.unterminated.get()); }),
  };
}

// Calls that need no connection, or are about the connection itself.
std::vector<input_case> frame_cases() {
  auto no_robot = [](input_case c) {
    c.robot_operation = false;
    return c;
  };
  return {
      no_robot(refused("VersionNull",
                       [](uint32_t *, host_memory &) { return tovlin_get_lib_ver(nullptr, 8); })),
      no_robot(
          refused("VersionNullHugeSize",
                  [](uint32_t *, host_memory &) { return tovlin_get_lib_ver(nullptr, k_huge); })),
      no_robot(refused(
          "VersionZeroSize",
          [](uint32_t *, host_memory &m) { return tovlin_get_lib_ver(m.version.data(), 0); })),
      no_robot(refused(
          "VersionSevenBytes",
          [](uint32_t *, host_memory &m) { return tovlin_get_lib_ver(m.version.data(), 7); })),
      no_robot(sent(
          "VersionHugeSize",
          [](uint32_t *, host_memory &m) { return tovlin_get_lib_ver(m.version.data(), k_huge); },
          "")),
      no_robot({"ConnectNullName",
                [](uint32_t *, host_memory &) {
                  return tovlink_connect(nullptr, 115200) == nullptr ? tovlink_get_lasterror() : 0u;
                },
                TOVLINK_ERR_PORT_OPEN, ""}),
      no_robot({"Connect10000ByteName",
                [](uint32_t *, host_memory &m) {
                  return tovlink_connect(m.text10000.c_str(), 115200) == nullptr
                             ? tovlink_get_lasterror()
                             : 0u;
                },
                TOVLINK_ERR_PORT_OPEN, ""}),
  };
}

std::vector<input_case> all_cases() {
  std::vector<input_case> all;
  for (auto part : {telemetry_cases(), text_query_cases(), motor_cases(), led_sound_voice_cases(),
                    frame_cases()}) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// Who the call names: the current connection, a null handle, or garbage that
// is only ever compared, never followed.
enum class handle_kind { current, null, garbage, no_connection };

const char *name_of(handle_kind kind) {
  switch (kind) {
    case handle_kind::current:
      return "CurrentHandle";
    case handle_kind::null:
      return "NullHandle";
    case handle_kind::garbage:
      return "GarbageHandle";
    default:
      return "NoConnection";
  }
}

class HostInput : public test::attached_robot,
                  public ::testing::WithParamInterface<std::tuple<input_case, handle_kind>> {
 protected:
  uint32_t *chosen_handle(handle_kind kind) {
    switch (kind) {
      case handle_kind::current:
        return handle();
      case handle_kind::null:
        return nullptr;
      case handle_kind::garbage:
        return reinterpret_cast<uint32_t *>(uintptr_t{0xFFFFFFFFDEADBEE1u});
      default:
        serial_close(g_serial_t);
        g_serial_t = nullptr;
        return handle();
    }
  }
};

// A known line sent after the call under test: the robot's bytes up to it
// are exactly what the call sent.
const std::string k_marker_line = "#101,99\r";

TEST_P(HostInput, GivesItsCodeSendsExactlyItsLineAndStaysInItsBuffers) {
  const auto &[c, kind] = GetParam();
  device_.serve(test::robot_rules(k_status));
  host_memory memory;
  uint32_t *h = chosen_handle(kind);

  output_capture capture;
  uint32_t code = c.call(h, memory);
  capture.finish();

  bool connected = kind != handle_kind::no_connection;
  uint32_t expected = connected || !c.robot_operation ? c.code : TOVLINK_ERR_NOT_CONNECTED;
  EXPECT_EQ(code, expected);
  EXPECT_TRUE(memory.guards_intact()) << "written outside a host buffer";
  if (expected != TOVLINK_OK) {
    EXPECT_EQ(memory.text.contents(), std::string(256, '\0'));
    EXPECT_EQ(memory.version.contents(), std::string(8, '\0'));
    for (const guarded_int &out : memory.outs) EXPECT_EQ(out.value, k_sentinel);
  }
  if (kind == handle_kind::garbage && connected && c.robot_operation) {
    EXPECT_NE(capture.err().find("handle=0xDEADBEE1\n"), std::string::npos) << capture.err();
  }
  if (connected) {
    ASSERT_NE(g_serial_t, nullptr) << "the connection stays current";
    EXPECT_EQ(tovlink_led_off(handle(), 99), TOVLINK_OK);
    EXPECT_EQ(device_.received(), c.wire + k_marker_line);
  } else {
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(device_.received(), "");
  }
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<input_case, handle_kind>> &info) {
  return std::get<0>(info.param).name + "_" + name_of(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(
    All, HostInput,
    ::testing::Combine(::testing::ValuesIn(all_cases()),
                       ::testing::Values(handle_kind::current, handle_kind::garbage,
                                         handle_kind::null, handle_kind::no_connection)),
    case_name);

// What a successful call left in the host's buffers.
class HostInputResult : public test::attached_robot {};

TEST_F(HostInputResult, AHugeSizeWritesOnlyTheReply) {
  device_.serve(test::robot_rules(k_status));
  host_memory memory;
  ASSERT_EQ(tovlink_who(handle(), memory.text.data(), k_huge), TOVLINK_OK);
  EXPECT_EQ(memory.text.contents(), "OK\r\n" + std::string(252, '\0'));
  ASSERT_EQ(tovlin_get_lib_ver(memory.version.data(), k_huge), TOVLINK_OK);
  EXPECT_EQ(memory.version.contents(), std::string("1.0.0.3\0", 8));
  EXPECT_TRUE(memory.guards_intact());
}

TEST_F(HostInputResult, AReplyLargerThanOneByteLeavesTheByteAlone) {
  device_.serve(test::robot_rules(k_status));
  host_memory memory;
  output_capture quiet;
  EXPECT_EQ(tovlink_who(handle(), memory.small.data(), 1), TOVLINK_ERR_EXCHANGE);
  quiet.finish();
  EXPECT_EQ(memory.small.contents(), std::string(1, '\0'));
  EXPECT_TRUE(memory.guards_intact());
}

// Baud rates at the ends of the range: the refused ones fail before any
// byte is sent; INT_MAX is a rate Linux can be asked for, so the port opens
// and the dialogue waits for a silent device.
struct baud_case {
  const char *name;
  int32_t baud;
  uint32_t code;
};

class HostBaud : public ::testing::TestWithParam<baud_case> {};

TEST_P(HostBaud, EndsWithItsCode) {
  test::pty_device device;
  output_capture capture;
  uint32_t *handle = tovlink_connect(device.path().c_str(), GetParam().baud);
  capture.finish();
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(g_last_error, GetParam().code);
  EXPECT_EQ(g_serial_t, nullptr);
}

INSTANTIATE_TEST_SUITE_P(All, HostBaud,
                         ::testing::Values(baud_case{"Zero", 0, TOVLINK_ERR_PORT_OPEN},
                                           baud_case{"MinusOne", -1, TOVLINK_ERR_PORT_OPEN},
                                           baud_case{"IntMin", INT_MIN, TOVLINK_ERR_PORT_OPEN},
                                           baud_case{"IntMax", INT_MAX, TOVLINK_ERR_RECEIVE}),
                         [](const auto &test_info) { return std::string(test_info.param.name); });

// A garbage handle given to end: only compared, and the current connection
// is the one closed; a second end finds none.
TEST_F(HostInputResult, EndWithAGarbageHandleClosesTheCurrentConnection) {
  auto *garbage = reinterpret_cast<uint32_t *>(uintptr_t{0x1});
  output_capture capture;
  tovlink_end(garbage);
  tovlink_end(garbage);
  capture.finish();
  EXPECT_EQ(g_serial_t, nullptr);
  EXPECT_EQ(g_last_error, TOVLINK_ERR_NOT_CONNECTED);
  EXPECT_EQ(capture.err().substr(0, 12), "tovlink_end\n");
  EXPECT_EQ(test::count_of(capture.err(), "tovlink_end\n"), 2);
  EXPECT_EQ(test::count_of(capture.err(), "g_serial_t=NULL\n"), 1);
}

}  // namespace
}  // namespace tovlink
