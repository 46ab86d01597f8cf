// A robot that answers after its exchange has given up: the late reply is
// dropped, so every later call gets its own reply.  Checked for a getter, a
// motor command and a text query, through the C API and the C++ API.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pty_device.h"
#include "tovlink.h"
#include "tovlink/robot.hpp"

namespace tovlink {
namespace {

using namespace std::chrono_literals;

// Well past the 1.5 s an exchange waits, even with stretched polls.
constexpr auto k_lateness = 2500ms;

std::string status_with_battery(int battery) {
  return test::status_line(1, 2, {90, 90, 90, 90, 90, 90, 90}, battery, 0, 3);
}

// The adapter dialogue, then a robot that answers the first "#800", the first
// "#140" and the first "#132" late; everything else at once.
class late_robot {
 public:
  late_robot() {
    device_.serve([this](const std::string &line) { return answer(line); });
  }
  ~late_robot() {
    std::vector<std::thread> late;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stopping_ = true;  // the peer's own thread may still be answering
      late.swap(late_);
    }
    for (auto &thread : late) thread.join();
  }

  const std::string &path() const { return device_.path(); }

  // Waits until every late reply due so far has gone out.
  void wait_for_late_replies() {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (late_sent_ < late_due_ && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(late_sent_.load(), late_due_.load());
    // The library has read it: a reply still in the terminal when the next
    // command goes out would be that command's reply on any wire.
    ASSERT_TRUE(device_.wait_until_taken());
  }

 private:
  std::optional<std::string> answer(const std::string &line) {
    if (line.rfind("R,1", 0) == 0) return "CMD\r\n";
    if (line.rfind("GDH", 0) == 0) return "0123456789AB\r\n";
    if (line.rfind("E,0,", 0) == 0) return "AOK\r\n";
    if (line == "I") return "MLDP\r\n";
    if (line.rfind("#800", 0) == 0) return once("#800", "WHO-LATE\r\n", "WHO\r\n");
    if (line.rfind("#805", 0) == 0) return "INFO\r\n";
    if (line.rfind("#140", 0) == 0) {
      return once("#140", status_with_battery(1111), status_with_battery(2222));
    }
    if (line.rfind("#132", 0) == 0) return once("#132", status_with_battery(3333), "OK\r\n");
    if (line.rfind("#", 0) == 0) return "OK\r\n";
    return std::nullopt;
  }

  // The first time `command` comes, `late` goes out after k_lateness and the
  // call gets nothing in time; later ones get `prompt` at once.
  std::optional<std::string> once(const std::string &command, const std::string &late,
                                  const std::string &prompt) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) return prompt;
    for (const auto &seen : answered_late_) {
      if (seen == command) return prompt;
    }
    answered_late_.push_back(command);
    ++late_due_;
    late_.emplace_back([this, late] {
      std::this_thread::sleep_for(k_lateness);
      device_.send(late);
      ++late_sent_;
    });
    return std::nullopt;
  }

  test::pty_device device_;
  std::mutex mutex_;
  std::vector<std::string> answered_late_;
  std::vector<std::thread> late_;
  bool stopping_ = false;
  std::atomic<int> late_due_{0};
  std::atomic<int> late_sent_{0};
};

TEST(LateReply, CApiGivesEachCallItsOwnReply) {
  late_robot robot;
  uint32_t *handle = tovlink_connect(robot.path().c_str(), 115200);
  ASSERT_NE(handle, nullptr);

  // Text query.
  char who[64] = {};
  EXPECT_EQ(tovlink_who(handle, who, sizeof who - 1), TOVLINK_ERR_EXCHANGE);
  robot.wait_for_late_replies();
  char info[64] = {};
  EXPECT_EQ(tovlink_get_info(handle, info, sizeof info - 1), TOVLINK_OK);
  EXPECT_STREQ(info, "INFO\r\n");
  char again[64] = {};
  EXPECT_EQ(tovlink_who(handle, again, sizeof again - 1), TOVLINK_OK);
  EXPECT_STREQ(again, "WHO\r\n");

  // Getter: the late status line never lands in the next call's value.
  int32_t battery = 0;
  EXPECT_EQ(tovlink_get_battery_value(handle, &battery), TOVLINK_ERR_EXCHANGE);
  robot.wait_for_late_replies();
  EXPECT_EQ(tovlink_get_battery_value(handle, &battery), TOVLINK_OK);
  EXPECT_EQ(battery, 2222);

  // Motor command answered late with a status line of its own.
  EXPECT_EQ(tovlink_motor_set_pos(handle, 1, 90), TOVLINK_ERR_EXCHANGE);
  robot.wait_for_late_replies();
  EXPECT_EQ(tovlink_get_battery_value(handle, &battery), TOVLINK_OK);
  EXPECT_EQ(battery, 2222);
  tovlink_end(handle);
}

TEST(LateReply, CxxApiGivesEachCallItsOwnReplyOrItsOwnTimeout) {
  late_robot late;
  Robot robot{late.path()};

  try {
    robot.query(Query::who);
    ADD_FAILURE() << "the first who should time out";
  } catch (const Error &error) {
    EXPECT_EQ(error.value(), errc::receive_timeout);
    EXPECT_TRUE(error.sent());
    EXPECT_STREQ(error.what(),
                 "query who: no complete reply from the robot within 1.5 s (the command was sent "
                 "and may have acted)");
  }
  late.wait_for_late_replies();
  EXPECT_EQ(robot.query(Query::info), "INFO");

  EXPECT_THROW(robot.telemetry(), Error);
  late.wait_for_late_replies();
  EXPECT_EQ(robot.telemetry().battery, 2222);

  EXPECT_THROW(robot.move(1, 90), Error);
  late.wait_for_late_replies();
  EXPECT_EQ(robot.telemetry().battery, 2222);
}

}  // namespace
}  // namespace tovlink
