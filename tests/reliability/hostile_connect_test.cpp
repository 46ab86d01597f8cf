// A hostile or broken adapter during tovlink_connect: unplugged before the
// call and at each step of the dialogue, and one that never stops talking
// while the library waits for "MLDP".  Each case states its code and the
// longest it may take; these go through the full dialogue with its pauses.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "c_api_seams.h"
#include "frame/library_state.h"
#include "output_capture.h"
#include "pty_device.h"
#include "reliability_support.h"

namespace tovlink {
namespace {

using namespace std::chrono_literals;
using test::millis;
using test::output_capture;
using test::pty_device;
using test::reply_rule;
using test::stopwatch;

// Replies of a well-behaved adapter, keyed by the line they answer.
std::vector<reply_rule> adapter_without(const std::string &unanswered) {
  std::vector<reply_rule> rules;
  for (const reply_rule &rule : test::adapter_rules()) {
    if (rule.prefix != unanswered) rules.push_back(rule);
  }
  return rules;
}

class HostileConnect : public ::testing::Test {
 protected:
  void TearDown() override {
    if (g_serial_t != nullptr) tovlink_end(nullptr);
  }

  uint32_t *connect() {
    output_capture capture;
    stopwatch watch;
    uint32_t *handle = tovlink_connect(device_.path().c_str(), 115200);
    took_ = watch.elapsed();
    capture.finish();
    out_ = capture.out();
    err_ = capture.err();
    return handle;
  }

  millis took_{};
  std::string out_, err_;
  pty_device device_;
};

TEST_F(HostileConnect, UnpluggedBeforeConnectIsAPortFailure) {
  device_.unplug();
  EXPECT_EQ(connect(), nullptr);
  EXPECT_EQ(g_last_error, TOVLINK_ERR_PORT_OPEN);
  EXPECT_EQ(g_serial_t, nullptr);
  EXPECT_LT(took_, 500ms);
}

// Unplugged right after the library sent `line` (left unanswered), or after the
// device sent the first bytes of its reply to it.
struct unplug_case {
  const char *name;
  std::string line;
  std::string partial_reply;
  uint32_t code;
  bool connected;
  millis at_least;  // the documented waits and pauses before the failure
  millis at_most;
};

class UnpluggedDuringConnect : public HostileConnect,
                               public ::testing::WithParamInterface<unplug_case> {};

TEST_P(UnpluggedDuringConnect, EndsWithTheStepsCodeWithinItsBound) {
  const unplug_case &c = GetParam();
  device_.serve(adapter_without(c.line.substr(0, c.line.find('\r'))));
  std::thread far_end([&] {
    if (!device_.wait_for(c.line, 10000ms)) return;
    if (!c.partial_reply.empty()) device_.send(c.partial_reply);
    std::this_thread::sleep_for(20ms);
    device_.unplug();
  });
  uint32_t *handle = connect();
  far_end.join();
  EXPECT_EQ(handle != nullptr, c.connected);
  EXPECT_EQ(g_last_error, c.code);
  EXPECT_GE(took_, c.at_least);
  EXPECT_LT(took_, c.at_most);
  if (c.connected) {
    stopwatch watch;
    tovlink_end(handle);
    EXPECT_LT(watch.elapsed(), 500ms);
  } else {
    EXPECT_NE(err_.find("tovlink_end\n"), std::string::npos) << "the new connection was ended";
  }
  EXPECT_EQ(g_serial_t, nullptr);
}

// Bounds: 1000 polls wait at least 1 s, 3000 polls at least 3 s, and the
// fixed pauses are 500 ms before the link line and 3000 ms after it.
INSTANTIATE_TEST_SUITE_P(
    All, UnpluggedDuringConnect,
    ::testing::Values(
        unplug_case{"WaitingForCmd", "R,1\r", "", TOVLINK_ERR_RECEIVE, false, 1000ms, 4000ms},
        unplug_case{"InTheMiddleOfCmd", "R,1\r", "CM", TOVLINK_ERR_RECEIVE, false, 1000ms, 4000ms},
        unplug_case{"WaitingForThePeerId", "GDH\r", "", TOVLINK_ERR_CONNECT_PEER_REPLY, false,
                    3000ms, 6000ms},
        unplug_case{"InTheMiddleOfThePeerId", "GDH\r", "0123", TOVLINK_ERR_CONNECT_PEER_REPLY,
                    false, 3000ms, 6000ms},
        unplug_case{"WaitingForAok", "E,0,", "", TOVLINK_ERR_CONNECT_LINK_REPLY, false, 1500ms,
                    5000ms},
        unplug_case{"WaitingForMldp", "I\r", "", TOVLINK_ERR_RECEIVE, true, 4500ms, 8000ms}),
    [](const auto &test_info) { return std::string(test_info.param.name); });

// Steps 2 and 7 skip lines that do not match; an adapter that never stops
// sending them holds a step for at most about 6.5 s.
TEST_F(HostileConnect, AnAdapterChatteringInsteadOfMldpIsCutOffAndTheHandleKept) {
  device_.serve(adapter_without("I"));
  std::atomic<bool> chatter{true};
  std::thread talker([&] {
    if (!device_.wait_for("I\r", 10000ms)) return;
    while (chatter) {
      // Eight bytes, so that a backlog taken 128 bytes at a time on a busy
      // machine still ends each take at a line's end.
      device_.send("NOISE!\r\n");
      std::this_thread::sleep_for(20ms);
    }
  });
  uint32_t *handle = connect();
  chatter = false;
  talker.join();
  EXPECT_NE(handle, nullptr);
  EXPECT_EQ(g_last_error, TOVLINK_ERR_RECEIVE);
  EXPECT_EQ(out_, "[Err] Detect timeout.\n");
  EXPECT_GE(took_, 3500ms + 5000ms);
  EXPECT_LT(took_, 3500ms + 6500ms + 3000ms) << "documented: about 6.5 s for the step";
}

}  // namespace
}  // namespace tovlink
