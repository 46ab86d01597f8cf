// A hostile or broken device behind an existing connection: every exported
// call must end with its documented code within its documented bound, and
// nothing may be written past a host buffer.  The device is a pseudo-terminal
// attached without the 3.5 s dialogue; each case says what it expects.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

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
using test::reply_rule;
using test::stopwatch;

const std::string k_status = test::status_line(11, 22, {1, 2, 3, 4, 5, 6, 7}, 77, 500, 33);
const std::string k_timeout_line = "[Err] Detect timeout.\n";
const std::string k_exchange_failed = "g_last_error=10005\ng_last_error=-1\n";

// An exchange with no reply waits its 1500 polls of at least 1 ms; this is
// the generous upper bound every reliability case allows for it.
constexpr auto k_exchange_wait = 1500ms;
constexpr auto k_exchange_bound = 6000ms;

std::string random_bytes(std::size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes(count, '\0');
  for (char &c : bytes) c = static_cast<char>(byte(generator));
  return bytes;
}

class HostileDevice : public test::attached_robot {
 protected:
  // Runs `call` with both streams captured, keeping what it printed and how
  // long it took.
  template <typename Call>
  uint32_t observe(Call call) {
    output_capture capture;
    stopwatch watch;
    uint32_t code = call();
    took_ = watch.elapsed();
    capture.finish();
    out_ = capture.out();
    err_ = capture.err();
    return code;
  }

  // Bytes the library's tty still holds for the worker to take.
  int unread_input() const {
    int waiting = 0;
    ioctl(device_.slave_fd(), FIONREAD, &waiting);
    return waiting;
  }

  void wait_until_input_taken() {
    for (int i = 0; i < 5000 && unread_input() > 0; ++i) std::this_thread::sleep_for(1ms);
  }

  // Battery readings until three in a row succeed with the robot's value;
  // returns how many calls that took (or `limit` + 1 when it never did).
  int calls_until_usable(int limit) {
    int in_a_row = 0;
    for (int call = 1; call <= limit; ++call) {
      int32_t battery = 0;
      output_capture quiet;
      bool good = tovlink_get_battery_value(handle(), &battery) == TOVLINK_OK && battery == 77;
      quiet.finish();
      in_a_row = good ? in_a_row + 1 : 0;
      if (in_a_row == 3) return call;
    }
    return limit + 1;
  }

  test::millis took_{};
  std::string out_, err_;
};

// --- Unplugged ------------------------------------------------------------

TEST_F(HostileDevice, UnpluggedBetweenExchangesFailsEachCallWithinItsWait) {
  device_.serve(test::robot_rules(k_status));
  int32_t battery = 0;
  ASSERT_EQ(tovlink_get_battery_value(handle(), &battery), TOVLINK_OK);
  device_.unplug();

  for (int call = 0; call < 2; ++call) {
    EXPECT_EQ(observe([&] { return tovlink_get_battery_value(handle(), &battery); }),
              TOVLINK_ERR_EXCHANGE);
    EXPECT_EQ(err_, k_exchange_failed);
    EXPECT_EQ(out_, k_timeout_line);
    EXPECT_GE(took_, k_exchange_wait);
    EXPECT_LT(took_, k_exchange_bound);
  }
  EXPECT_EQ(serial_->io_fault.load(), k_fault_read) << "the worker saw the device go";

  EXPECT_EQ(observe([&] {
              tovlink_end(handle());
              return g_last_error;
            }),
            TOVLINK_OK);
  EXPECT_LT(took_, 500ms) << "documented: a stopped worker is joined at once";
  EXPECT_EQ(g_serial_t, nullptr);
}

TEST_F(HostileDevice, UnpluggedInTheMiddleOfAReplyKeepsTheBytesAndTimesOut) {
  std::thread far_end([&] {
    if (device_.wait_for("#800\r")) device_.send("ROBOT-");
    std::this_thread::sleep_for(50ms);
    device_.unplug();
  });
  guarded_buffer buffer(64);
  EXPECT_EQ(observe([&] { return tovlink_who(handle(), buffer.data(), buffer.size()); }),
            TOVLINK_ERR_EXCHANGE);
  far_end.join();
  EXPECT_EQ(buffer.head(7), std::string("ROBOT-\0", 7));
  EXPECT_TRUE(buffer.guards_intact());
  EXPECT_EQ(out_, k_timeout_line);
  EXPECT_EQ(err_, k_exchange_failed);
  EXPECT_GE(took_, k_exchange_wait);
  EXPECT_LT(took_, k_exchange_bound);
}

// --- Floods -----------------------------------------------------------------

TEST_F(HostileDevice, A64KilobyteFloodIsDroppedAndTheConnectionRecovers) {
  device_.serve(test::robot_rules(k_status));
  stopwatch flood_time;
  device_.send(random_bytes(64 * 1024, 1));
  wait_until_input_taken();
  EXPECT_EQ(unread_input(), 0);
  EXPECT_LT(flood_time.elapsed(), 5000ms) << "the worker keeps taking bytes while q_recv is full";
  EXPECT_EQ(serial_->io_fault.load(), k_fault_recv_full) << "q_recv filled and bytes were dropped";

  // At most 1023 stale bytes are left; each failed exchange takes some away.
  stopwatch recovery;
  int calls = calls_until_usable(20);
  EXPECT_LE(calls, 20) << "three good readings in a row after the flood";
  EXPECT_LT(recovery.elapsed(), 40000ms);
}

TEST_F(HostileDevice, AFloodDuringAnExchangeEndsItWithinItsWait) {
  device_.serve(test::robot_rules(k_status));
  std::thread flooder([&] {
    if (device_.wait_for("#140\r")) device_.send(random_bytes(64 * 1024, 2));
  });
  int32_t battery = -5;
  uint32_t code = observe([&] { return tovlink_get_battery_value(handle(), &battery); });
  flooder.join();
  EXPECT_TRUE(code == TOVLINK_OK || code == TOVLINK_ERR_EXCHANGE) << code;
  if (code != TOVLINK_OK) {
    EXPECT_EQ(battery, -5) << "a failed getter leaves *out alone";
  }
  EXPECT_LT(took_, k_exchange_bound);
  wait_until_input_taken();
  EXPECT_LE(calls_until_usable(20), 20);
}

// --- Slow drip ----------------------------------------------------------------

TEST_F(HostileDevice, AStatusLineDrippedEvery5MsArrivesWhole) {
  device_.serve(std::vector<reply_rule>{{"#140", k_status, 1, 5ms}});
  int32_t battery = 0;
  EXPECT_EQ(observe([&] { return tovlink_get_battery_value(handle(), &battery); }), TOVLINK_OK);
  EXPECT_EQ(battery, 77);
  EXPECT_GE(took_, 5ms * (k_status.size() - 1));
  EXPECT_LT(took_, k_exchange_bound);
}

// The wait counts polls, and a loaded machine (or a sanitizer) stretches
// each one past 1 ms, so this line takes 5 s to drip: far longer than the
// 1500 polls can last there too.
TEST_F(HostileDevice, AStatusLineDrippedEvery50MsRunsOutTheDocumentedWait) {
  const std::string long_status = test::status_line(
      1234567, 1234567, {1234567, 1234567, 1234567, 1234567, 1234567, 1234567, 1234567}, 77,
      1234567, 1234567);
  ASSERT_EQ(long_status.size(), 100u);
  device_.serve(std::vector<reply_rule>{{"#140", long_status, 1, 50ms}});
  int32_t battery = -5;
  EXPECT_EQ(observe([&] { return tovlink_get_battery_value(handle(), &battery); }),
            TOVLINK_ERR_EXCHANGE);
  EXPECT_EQ(battery, -5);
  EXPECT_EQ(out_, k_timeout_line);
  EXPECT_EQ(err_, k_exchange_failed);
  EXPECT_GE(took_, k_exchange_wait);
  EXPECT_LT(took_, k_exchange_bound);
}

// --- Malformed replies ------------------------------------------------------

struct malformed_reply {
  const char *name;
  std::string reply;
  uint64_t buffer_size;
  uint32_t code;
  bool times_out;
  std::string kept;  // the buffer's first bytes afterwards
};

class MalformedReply : public HostileDevice,
                       public ::testing::WithParamInterface<malformed_reply> {};

TEST_P(MalformedReply, EndsWithItsCodeAndNothingPastTheBuffer) {
  const malformed_reply &c = GetParam();
  device_.serve(std::vector<reply_rule>{{"#805", c.reply}});
  guarded_buffer buffer(c.buffer_size);
  EXPECT_EQ(observe([&] { return tovlink_get_info(handle(), buffer.data(), buffer.size()); }),
            c.code);
  EXPECT_TRUE(buffer.guards_intact());
  EXPECT_EQ(buffer.head(c.kept.size()), c.kept);
  EXPECT_EQ(out_, c.times_out ? k_timeout_line : "");
  EXPECT_EQ(err_, c.code == TOVLINK_OK ? "" : k_exchange_failed);
  if (c.times_out) {
    EXPECT_GE(took_, k_exchange_wait);
  }
  EXPECT_LT(took_, k_exchange_bound);
}

std::string nul_reply() {
  return std::string("A\0B\0\0C\r\n", 8);
}

INSTANTIATE_TEST_SUITE_P(
    All, MalformedReply,
    ::testing::Values(malformed_reply{"NoLineFeed", "OK\r", 64, TOVLINK_ERR_EXCHANGE, true, "OK\r"},
                      malformed_reply{"OnlyCarriageReturns", std::string(40, '\r'), 64,
                                      TOVLINK_ERR_EXCHANGE, true, std::string(40, '\r')},
                      malformed_reply{"ManyCarriageReturnsOverflowTheBuffer",
                                      std::string(300, '\r'), 64, TOVLINK_ERR_EXCHANGE, false, ""},
                      malformed_reply{"NulBytesArePassedThrough", nul_reply(), 16, TOVLINK_OK,
                                      false, nul_reply()},
                      malformed_reply{"A200ByteLineInALargeBuffer", std::string(200, 'x') + "\r\n",
                                      256, TOVLINK_OK, false, std::string(200, 'x') + "\r\n"},
                      malformed_reply{"A200ByteLineInASmallBuffer", std::string(200, 'x') + "\r\n",
                                      100, TOVLINK_ERR_EXCHANGE, false, ""},
                      malformed_reply{"A200ByteLineInAnExactBuffer", std::string(200, 'x') + "\r\n",
                                      202, TOVLINK_OK, false, std::string(200, 'x') + "\r\n"}),
    [](const auto &test_info) { return std::string(test_info.param.name); });

// The getters collect into the library's own 128-byte line: longer replies
// must fail without a time-out and without touching the cache.
TEST_F(HostileDevice, ALineLongerThanTheLibrarysBufferFailsAtOnce) {
  device_.serve(test::robot_rules("S,5," + std::string(200, '9') + "\r\n"));
  int32_t sensor = -5;
  EXPECT_EQ(observe([&] { return tovlink_get_sensor_value(handle(), &sensor); }),
            TOVLINK_ERR_EXCHANGE);
  EXPECT_EQ(sensor, -5);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, k_exchange_failed);
  EXPECT_LT(took_, 1000ms);
}

// --- Flow control ------------------------------------------------------------

TEST_F(HostileDevice, AWriteTheDeviceNeverAcceptsDoesNotHoldEnd) {
  device_.serve(test::robot_rules(k_status));
  ASSERT_EQ(tcflow(device_.slave_fd(), TCOOFF), 0);
  EXPECT_EQ(observe([&] { return tovlink_led_on(handle(), 1); }), TOVLINK_ERR_EXCHANGE);
  EXPECT_EQ(out_, k_timeout_line);
  EXPECT_EQ(device_.received(), "") << "the suspended tty took nothing";

  observe([&] {
    tovlink_end(handle());
    return g_last_error;
  });
  EXPECT_EQ(err_, "tovlink_end\n");
  EXPECT_LT(took_, 500ms) << "documented: held writes keep end waiting about 10 ms";
  EXPECT_EQ(g_serial_t, nullptr);
  tcflow(device_.slave_fd(), TCOON);
}

}  // namespace
}  // namespace tovlink
