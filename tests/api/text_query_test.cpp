// Text queries: the reply lands in the host's buffer exactly as received.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "attached_robot.h"
#include "c_api_seams.h"
#include "output_capture.h"
#include "pty_device.h"

namespace tovlink {
namespace {

using namespace std::chrono_literals;
using test::output_capture;

using query_function = uint32_t (*)(uint32_t *, char *, uint64_t);

struct query_case {
  const char *name;
  query_function call;
  std::string line;
};

class TextQuery : public test::attached_robot, public ::testing::WithParamInterface<query_case> {};

TEST_P(TextQuery, SendsItsLineOnceAndReturnsTheReplyFollowedByTheZeroFill) {
  device_.serve({{GetParam().line.substr(0, 4), "ROBOT-7 v2.1\r\n"}});
  char buffer[64] = {};
  EXPECT_EQ(GetParam().call(handle(), buffer, sizeof buffer), TOVLINK_OK);
  EXPECT_EQ(std::string(buffer), "ROBOT-7 v2.1\r\n");
  EXPECT_EQ(device_.received(), GetParam().line) << "one carriage return only";
}

INSTANTIATE_TEST_SUITE_P(
    All, TextQuery,
    ::testing::Values(query_case{"Who", tovlink_who, "#800\r"},
                      query_case{"GetMotorpower", tovlink_get_motorpower, "#802\r"},
                      query_case{"SetMotorpower", tovlink_set_motorpower, "#803\r"},
                      query_case{"Init", tovlink_get_init, "#804\r"},
                      query_case{"Info", tovlink_get_info, "#805\r"},
                      query_case{"MicRange", tovlink_get_init_mic_range, "#806\r"},
                      query_case{"PowerLimit", tovlink_get_init_power_limit, "#807\r"},
                      query_case{"Position", tovlink_get_position, "#142\r"}),
    [](const auto &test_info) { return std::string(test_info.param.name); });

class TextQueryBuffer : public test::attached_robot {
 protected:
  // A host buffer of `size` bytes framed by guard bytes.
  std::vector<char> framed(size_t size) { return std::vector<char>(size + 32, '#'); }
  void expect_guards_intact(const std::vector<char> &buffer, size_t size) {
    for (size_t i = 0; i < 16; ++i) {
      EXPECT_EQ(buffer[i], '#');
      EXPECT_EQ(buffer[16 + size + i], '#') << "written past size";
    }
  }
};

TEST_F(TextQueryBuffer, NoTerminatingZeroIsAdded) {
  device_.serve({{"#800", "ID\r\n"}});
  auto buffer = framed(8);
  EXPECT_EQ(tovlink_who(handle(), buffer.data() + 16, 8), TOVLINK_OK);
  EXPECT_EQ(std::string(buffer.data() + 16, 8), "ID\r\n####");
  expect_guards_intact(buffer, 8);
}

TEST_F(TextQueryBuffer, AReplyLargerThanTheBufferFailsWithoutOverrun) {
  device_.serve({{"#805", std::string(40, 'i') + "\r\n"}});
  auto buffer = framed(16);
  output_capture capture;
  EXPECT_EQ(tovlink_get_info(handle(), buffer.data() + 16, 16), TOVLINK_ERR_EXCHANGE);
  capture.finish();
  EXPECT_EQ(capture.err(), "g_last_error=10005\ng_last_error=-1\n");
  expect_guards_intact(buffer, 16);
}

TEST_F(TextQueryBuffer, ATimeOutKeepsTheBytesReceived) {
  device_.serve({{"#142", "P,90,90"}});
  char buffer[32] = {};
  output_capture capture;
  EXPECT_EQ(tovlink_get_position(handle(), buffer, sizeof buffer), TOVLINK_ERR_EXCHANGE);
  capture.finish();
  EXPECT_STREQ(buffer, "P,90,90");
  EXPECT_EQ(capture.out(), "[Err] Detect timeout.\n");
  EXPECT_EQ(capture.err(), "g_last_error=10005\ng_last_error=-1\n");
}

TEST_F(TextQueryBuffer, NullBufferOrZeroSizeIsRefusedUnsent) {
  char buffer[8];
  output_capture capture;
  EXPECT_EQ(tovlink_who(handle(), nullptr, 8), TOVLINK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(tovlink_who(handle(), buffer, 0), TOVLINK_ERR_INVALID_ARGUMENT);
  capture.finish();
  EXPECT_EQ(capture.err(), "g_last_error=3\ng_last_error=3\n");
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(device_.received(), "");
}

TEST_F(TextQueryBuffer, AStatusReplyAlsoRefreshesTheCache) {
  device_.serve({{"#142", test::status_line(4, 5, {100, 101, 102, 103, 104, 105, 106}, 50, 1, 9)}});
  char buffer[128] = {};
  EXPECT_EQ(tovlink_get_position(handle(), buffer, sizeof buffer), TOVLINK_OK);
  int32_t p7 = 0;
  tovlink_get_motor_positions(handle(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &p7);
  EXPECT_EQ(p7, 106);
}

}  // namespace
}  // namespace tovlink
