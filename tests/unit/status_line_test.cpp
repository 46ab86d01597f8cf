#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "c_api_seams.h"
#include "protocol/status_line.h"

namespace tovlink {
namespace {

std::vector<int32_t> cache_values() {
  const telemetry_cache &t = g_telemetry;
  return {t.sensor_value,      t.mic_value,         t.motor_position[0], t.motor_position[1],
          t.motor_position[2], t.motor_position[3], t.motor_position[4], t.motor_position[5],
          t.motor_position[6], t.battery_value,     t.motor_power,       t.mic_analog_value};
}

void fill_cache(int32_t value) {
  g_telemetry.sensor_value = g_telemetry.mic_value = value;
  for (int32_t &position : g_telemetry.motor_position) position = value;
  g_telemetry.battery_value = g_telemetry.motor_power = g_telemetry.mic_analog_value = value;
}

void parse(const std::string &reply) {
  parse_status(reinterpret_cast<const uint8_t *>(reply.data()), reply.size());
}

const std::vector<int32_t> k_full = {1, 2, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
const std::vector<int32_t> k_untouched(12, -7);

struct status_case {
  const char *name;
  std::string reply;
  std::vector<int32_t> expected;
};

class StatusLine : public ::testing::TestWithParam<status_case> {};

TEST_P(StatusLine, StoresExactlyTheValuesItReads) {
  fill_cache(-7);
  parse(GetParam().reply);
  EXPECT_EQ(cache_values(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StatusLine,
    ::testing::Values(
        status_case{"Full", "S,1,2,M,10,20,30,40,50,60,70,P,80,90,100,E\r\n", k_full},
        status_case{"AfterEndMarker", "End,S,1,2,M,10,20,30,40,50,60,70,P,80,90,100,E\r\n", k_full},
        status_case{"WithoutClosingE", "S,1,2,M,10,20,30,40,50,60,70,P,80,90,100", k_full},
        status_case{"CutAfterFirstMotor",
                    "S,111111,222222,M,333333\r\n",
                    {111111, 222222, 333333, -7, -7, -7, -7, -7, -7, -7, -7, -7}},
        status_case{"NegativeAndSpaced",
                    "S,-1, -2,M,\t-10,20,+30,40,50,60,70,P,  -80,90,100,E\r\n",
                    {-1, -2, -10, 20, 30, 40, 50, 60, 70, -80, 90, 100}},
        status_case{"NotBeginningWithS", "X,1,2,M,10,20,30,40,50,60,70,P,80,90,100,E\r\n",
                    k_untouched},
        status_case{"SpaceBeforeLiteralIsAMismatch",
                    "S,1 ,2,M,10,20,30,40,50,60,70,P,8,9,1\r\n",
                    {1, -7, -7, -7, -7, -7, -7, -7, -7, -7, -7, -7}},
        status_case{"SignWithoutDigitsStops",
                    "S,1,-,M,10,20,30,40,50,60,70,P,80,90,100,E\r\n",
                    {1, -7, -7, -7, -7, -7, -7, -7, -7, -7, -7, -7}},
        status_case{"DoubleSignStops",
                    "S,1,+-5,M,10,20,30,40,50,60,70,P,80,90,100,E\r\n",
                    {1, -7, -7, -7, -7, -7, -7, -7, -7, -7, -7, -7}},
        // "End," anywhere drops the first four characters, whatever they are.
        status_case{"EndMarkerInTheMiddle", "S,1,2,M,10,20,30,40,50,60,70,P,80,End,90\r\n",
                    k_untouched},
        status_case{"EndMarkerLaterWithPrefix",
                    "xyz,S,1,2,M,10,20,30,40,50,60,70,P,80,90,100,E End,\r\n", k_full},
        status_case{"StopsAtZeroByte",
                    std::string("S,1,2,M,10\0,20,30,40,50,60,70,P", 31),
                    {1, 2, 10, -7, -7, -7, -7, -7, -7, -7, -7, -7}},
        // Values beyond 32 bits saturate instead of wrapping.
        status_case{
            "Saturates",
            "S,999999999999999999999999999999,-999999999999999999999999999999,M,"
            "2147483647,-2147483648,2147483648,-2147483649,5,6,7,P,8,9,10,E\r\n",
            {INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, 5, 6, 7, 8, 9, 10}}),
    [](const auto &test_info) { return std::string(test_info.param.name); });

TEST(StatusLineBounds, ReadsNoFurtherThanTheCountGiven) {
  fill_cache(-7);
  // Only "S,5,6" is handed over; the digits after it must not be read.
  std::string reply = "S,5,6789,M,1,2,3,4,5,6,7,P,8,9,10,E";
  parse_status(reinterpret_cast<const uint8_t *>(reply.data()), 5);
  EXPECT_EQ(g_telemetry.sensor_value, 5);
  EXPECT_EQ(g_telemetry.mic_value, 6);
  EXPECT_EQ(g_telemetry.motor_position[0], -7);
}

TEST(StatusLineBounds, LongRepliesAreCutAt511Characters) {
  fill_cache(-7);
  std::string reply = "S,1," + std::string(600, ' ') + "2,M,3";
  parse(reply);
  EXPECT_EQ(g_telemetry.sensor_value, 1);
  EXPECT_EQ(g_telemetry.mic_value, -7) << "the value lay beyond the 511 characters scanned";
}

}  // namespace
}  // namespace tovlink
