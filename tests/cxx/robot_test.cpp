// tovlink::Robot against virtual robots: several robots in one process, one
// robot from several threads, a connect cancelled mid-dialogue, a lost link,
// and the log callback's lines against what the C API prints.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "output_capture.h"
#include "pty_device.h"
#include "tovlink.h"
#include "tovlink/robot.hpp"
#include "tovlink_sim/virtual_robot.hpp"

namespace tovlink {
namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

struct started_sim {
  sim::virtual_robot robot;
  started_sim() { robot.start(); }
};

// Runs `body` and returns the Error it threw; fails the test when none came.
template <typename Body>
Error error_from(Body body) {
  try {
    body();
  } catch (const Error &error) {
    return error;
  }
  ADD_FAILURE() << "no tovlink::Error was thrown";
  return Error(errc::exchange_failed, "none");
}

TEST(CxxRobot, TwoRobotsInOneProcessEachMoveAndReport) {
  started_sim first;
  started_sim second;
  // Both connect at once: each has its own session and worker.
  auto connecting =
      std::async(std::launch::async, [&] { return Robot{second.robot.slave_path()}; });
  Robot a{first.robot.slave_path()};
  Robot b = connecting.get();

  Telemetry from_a = a.telemetry();
  Telemetry from_b = b.telemetry();
  EXPECT_GT(from_a.battery, 7000);
  EXPECT_GT(from_b.battery, 7000);

  EXPECT_EQ(a.move(2, 10), 55) << "motor 2 is clamped to 55-125 and the clamped angle reported";
  EXPECT_EQ(b.move(1, 170), 170);
  EXPECT_EQ(first.robot.state().targets[1], 55);
  EXPECT_EQ(second.robot.state().targets[0], 170);
  EXPECT_NE(first.robot.state().targets[0], 170) << "a command to b never reaches a";

  auto sent = a.pose({0, 200, 90, 181, 60, 130, -5});
  EXPECT_EQ(sent, (std::array<int, 7>{0, 125, 90, 180, 60, 125, 0}));
  EXPECT_EQ(first.robot.state().targets, sent);

  EXPECT_EQ(b.query(Query::who).find('\n'), std::string::npos) << "line end removed";
  EXPECT_FALSE(b.query(Query::who).empty());
}

TEST(CxxRobot, OneRobotFromFourThreadsKeepsEveryReplyWithItsCall) {
  started_sim sim;
  Robot robot{sim.robot.slave_path()};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        try {
          switch (t) {
            case 0:
              robot.telemetry();
              break;
            case 1:
              robot.move(1, 10 * i);
              break;
            case 2:
              if (robot.query(Query::who).rfind("S,", 0) == 0) ++failures;  // a status line
              break;
            default:
              robot.led_on(1 + i % 4);
              break;
          }
        } catch (const Error &error) {
          ADD_FAILURE() << error.what();
          ++failures;
        }
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(robot.link_alive());
}

TEST(CxxRobot, ACancelledConnectEndsWhatItOpenedPromptly) {
  started_sim sim;
  std::stop_source stop;
  std::atomic<bool> requested{false};
  steady::time_point asked_at{};
  std::thread canceller([&] {
    std::this_thread::sleep_for(1500ms);  // inside the adapter's 3 s pause
    asked_at = steady::now();
    requested = true;
    stop.request_stop();
  });
  Options options;
  options.stop = stop.get_token();
  Error error = error_from([&] { Robot robot{sim.robot.slave_path(), options}; });
  auto thrown_at = steady::now();
  canceller.join();
  EXPECT_EQ(error.value(), errc::cancelled) << error.what();
  ASSERT_TRUE(requested.load());
  EXPECT_LT(thrown_at - asked_at, 50ms);
  // The port was closed: a new connection opens it again at once.
  Robot again{sim.robot.slave_path()};
  EXPECT_TRUE(again.link_alive());
}

TEST(CxxRobot, AnUnpluggedPortIsReportedAsLostAtOnce) {
  test::pty_device device;
  device.serve(
      test::robot_rules(test::status_line(1, 2, {90, 90, 90, 90, 90, 90, 90}, 7800, 0, 3)));
  Robot robot{device.path()};
  EXPECT_EQ(robot.telemetry().battery, 7800);

  device.unplug();
  auto deadline = steady::now() + 100ms;
  while (robot.link_alive() && steady::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(robot.link_alive());
  auto before = steady::now();
  Error error = error_from([&] { robot.move(1, 90); });
  EXPECT_LT(steady::now() - before, 100ms) << "no 1.5 s wait on a dead link";
  EXPECT_EQ(error.value(), errc::link_lost);
  EXPECT_FALSE(error.sent());
  EXPECT_NE(std::string(error.what()).find("move motor 1: the link to the robot is lost"),
            std::string::npos)
      << error.what();
}

TEST(CxxRobot, LibraryVersionMatchesTheCApi) {
  char version[16] = {};
  ASSERT_EQ(tovlin_get_lib_ver(version, sizeof version), TOVLINK_OK);
  EXPECT_EQ(library_version(), version);
}

TEST(CxxRobot, ErrorsNameTheOperationAndTheCause) {
  Error missing = error_from([] { Robot robot{"/dev/tovlink-no-such-port"}; });
  EXPECT_EQ(missing.value(), errc::port_open);
  EXPECT_EQ(missing.code(), make_error_code(errc::port_open));
  EXPECT_EQ(missing.system_error_number(), ENOENT);
  EXPECT_STREQ(
      missing.what(),
      "connect /dev/tovlink-no-such-port: cannot open the port: No such file or directory");

  started_sim sim;
  Robot robot{sim.robot.slave_path()};
  Error bad_motor = error_from([&] { robot.move(8, 90); });
  EXPECT_EQ(bad_motor.value(), errc::invalid_argument);
  EXPECT_STREQ(bad_motor.what(), "move motor 8: motors are 1-7");
  Error long_text = error_from([&] { robot.say(std::string(40, 'a')); });
  EXPECT_EQ(long_text.value(), errc::invalid_argument);
  EXPECT_STREQ(long_text.what(), "say: the text has 40 bytes; at most 39 fit");
  EXPECT_EQ(error_from([&] { robot.speech_speed(49); }).value(), errc::invalid_argument);
  EXPECT_EQ(error_from([&] { robot.power_on(499); }).value(), errc::invalid_argument);

  Robot moved = std::move(robot);
  EXPECT_EQ(error_from([&] { robot.telemetry(); }).value(), errc::not_connected);  // NOLINT
  EXPECT_TRUE(moved.link_alive());
}

// The two Japanese lines as the C API prints them and as the callback gets them.
std::string shift_jis_to_utf8(std::string line) {
  const std::pair<std::string, std::string> known[] = {
      {"COM\x83|\x81[\x83g\x8F\x89\x8A\xFA\x89\xBB\x8E\xB8\x94s", "COMポート初期化失敗"},
      {"\x83G\x83\x89\x81[\x82\xF0\x8C\x9F\x8Fo", "エラーを検出"}};
  for (const auto &[sjis, utf8] : known) {
    if (auto at = line.find(sjis); at != std::string::npos) line.replace(at, sjis.size(), utf8);
  }
  return line;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(shift_jis_to_utf8(text.substr(start, end - start)));
  }
  return lines;
}

TEST(CxxRobot, TheLogCallbackGetsExactlyTheLinesTheCApiPrints) {
  // An adapter that never says "CMD": the dialogue's first wait fails.
  test::pty_device device;
  device.serve(std::vector<test::reply_rule>{});

  test::output_capture capture;
  EXPECT_EQ(tovlink_connect(device.path().c_str(), 115200), nullptr);
  capture.finish();

  std::vector<std::string> logged;
  Options options;
  options.log = [&](std::string_view line) { logged.emplace_back(line); };
  test::output_capture quiet;
  Error error = error_from([&] { Robot robot{device.path(), options}; });
  quiet.finish();
  EXPECT_EQ(quiet.out() + quiet.err(), "") << "the C++ interface prints nothing";
  EXPECT_EQ(error.value(), errc::receive_timeout);

  // The callback sees both streams in one sequence; the time-out line is the
  // only one the C API puts on standard output.
  const std::string timeout_line = "[Err] Detect timeout.";
  EXPECT_EQ(lines_of(capture.out()), std::vector<std::string>{timeout_line});
  std::vector<std::string> without_stdout;
  for (const auto &line : logged) {
    if (line != timeout_line) without_stdout.push_back(line);
  }
  EXPECT_EQ(logged.size(), without_stdout.size() + 1);
  ASSERT_GE(lines_of(capture.err()).size(), 4u);
  EXPECT_EQ(without_stdout, lines_of(capture.err()));
}

}  // namespace
}  // namespace tovlink
