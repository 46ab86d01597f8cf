// The player against the virtual robot: what reaches the wire, in which
// order and not before its time; pause, resume and stop mid-motion; a robot
// lost mid-motion.  Timing bounds are loose (the machine may be loaded):
// lines are never early, and late by less than a second; the figures are
// the bench's (bench/motion).
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <mutex>

#include "logged_robot.hpp"
#include "tovlink/motion/player.hpp"

namespace tovlink::motion {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::LoggedRobot;
using testing::WireLine;

constexpr std::int64_t stamp_resolution_ms = 1;  // the log's stamps are whole milliseconds
constexpr std::int64_t loose_lateness_ms = 1000;

std::vector<std::string> texts(const std::vector<WireLine> &lines) {
  std::vector<std::string> result;
  for (const auto &line : lines) result.push_back(line.text);
  return result;
}

// The log's stamp of a wall-clock time: milliseconds of the local day.
std::int64_t stamp_of(std::chrono::system_clock::time_point when) {
  const auto seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&seconds, &local);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch() %
                                                                        std::chrono::seconds{1});
  return ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000LL + ms.count();
}

// Each line at or after its time from `start`, and not very late.
void expect_on_schedule(const std::vector<WireLine> &lines,
                        std::chrono::system_clock::time_point start,
                        const std::vector<std::int64_t> &due_ms) {
  ASSERT_EQ(lines.size(), due_ms.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto at = lines[i].stamp_ms - stamp_of(start);
    EXPECT_GE(at, due_ms[i] - stamp_resolution_ms) << lines[i].text << " went out early";
    EXPECT_LE(at, due_ms[i] + loose_lateness_ms) << lines[i].text;
  }
}

// A start a little ahead, so the first line has a time of its own to keep.
std::chrono::system_clock::time_point shortly() {
  return std::chrono::system_clock::now() + std::chrono::milliseconds{300};
}

Motion greeting() {
  Motion motion{"greeting", {}, {}};
  motion.keyframes = {{0ms, {90, std::nullopt, 90, 90, 90, 90, std::nullopt}},
                      {300ms, {120, 100, std::nullopt, 90, 90, 90, std::nullopt}},
                      {600ms, {60, 80, 70, 90, 90, 90, std::nullopt}}};
  motion.events = {{0ms, LedSwitch{3, true}},
                   {300ms, Tone{440, 100}},
                   {300ms, Say{"hi"}},
                   {600ms, SpeechSpeed{150}},
                   {600ms, LedSwitch{3, false}}};
  return motion;
}

TEST(Player, SendsEachKeyframeAsOneTimedMoveAndEachEventInOrderOnTime) {
  LoggedRobot robot;
  // Motors 2 and 7 are held by the first keyframe: they keep where they are.
  robot.robot().pose({10, 60, 70, 80, 90, 100, 170});
  const auto before = robot.commands().size();
  std::mutex mutex;
  std::vector<Progress> reported;
  PlayOptions options;
  options.soft_start = 200ms;
  options.start_at = shortly();
  options.on_progress = [&](const Progress &progress) {
    const std::scoped_lock lock{mutex};
    reported.push_back(progress);
  };
  Player player{robot.robot(), greeting(), options};
  const auto last = player.wait();
  EXPECT_EQ(last.state, PlayState::finished);
  EXPECT_FALSE(player.error());

  const auto lines = robot.commands_from(before);
  // The first move eases to the first pose over the soft start; each later
  // keyframe's move starts at the keyframe before it and lasts until its own.
  EXPECT_EQ(texts(lines), (std::vector<std::string>{
                              "#151,090,060,090,090,090,090,170,0200",
                              "#151,120,100,090,090,090,090,170,0300",
                              "#100,3",
                              "#151,060,080,070,090,090,090,170,0300",
                              "#110,00440,0100",
                              "#121,hi",
                              "#120,150",
                              "#101,3",
                          }));
  expect_on_schedule(lines, *options.start_at, {0, 200, 200, 500, 500, 500, 800, 800});

  const std::scoped_lock lock{mutex};
  ASSERT_EQ(reported.size(), 4u) << "one report per keyframe sent, one at the end";
  for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(reported[k].keyframe, k);
  EXPECT_EQ(reported.back().state, PlayState::finished);
  EXPECT_EQ(reported.back().position, 600ms);
}

TEST(Player, SpeedAndLoopsScaleTheScheduleAndRepeatIt) {
  LoggedRobot robot;
  const auto before = robot.commands().size();
  Motion motion = greeting();
  motion.events.clear();
  PlayOptions options;
  options.speed = 2.0;
  options.loops = 2;
  // A common start time, as a fleet would give.
  options.start_at = shortly();
  EXPECT_EQ(play(robot.robot(), motion, options).state, PlayState::finished);
  const auto lines = robot.commands_from(before);
  EXPECT_EQ(texts(lines), (std::vector<std::string>{
                              "#151,090,090,090,090,090,090,090,0000",
                              "#151,120,100,090,090,090,090,090,0150",
                              "#151,060,080,070,090,090,090,090,0150",
                              "#151,090,080,090,090,090,090,090,0000",
                              "#151,120,100,090,090,090,090,090,0150",
                              "#151,060,080,070,090,090,090,090,0150",
                          }));
  expect_on_schedule(lines, *options.start_at, {0, 0, 150, 300, 300, 450});
}

TEST(Player, PausesResumesAndStopsMidMotionSendingNothingThatMoves) {
  LoggedRobot robot;
  const bool powered = robot.sim().state().motor_power;
  Motion motion{"sweep", {}, {}};
  for (int k = 0; k < 10; ++k) {
    motion.keyframes.push_back({k * 150ms, {60 + 10 * k, 90, 90, 90, 90, 90, 90}});
  }
  const auto before = robot.commands().size();
  std::atomic<int> paused_reports{0};
  PlayOptions options;
  options.on_progress = [&](const Progress &progress) {
    if (progress.state == PlayState::paused) ++paused_reports;
  };
  Player player{robot.robot(), motion, options};
  ASSERT_TRUE(eventually([&] { return player.progress().keyframe >= 2; }));
  player.pause();
  EXPECT_EQ(player.state(), PlayState::paused);
  // The pause holds once a move already being sent has had its reply, which
  // the robot gives after logging the line.
  ASSERT_TRUE(eventually([&] { return paused_reports.load() == 1; }));
  const auto at_pause = robot.commands_from(before).size();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(robot.commands_from(before).size(), at_pause) << "nothing is sent while paused";
  EXPECT_EQ(paused_reports.load(), 1);
  player.resume();
  ASSERT_TRUE(eventually([&] { return player.progress().keyframe >= at_pause + 1; }));
  // The rest of the schedule moved by the pause: the first line after it
  // came at least the pause's length after the one before.
  const auto resumed = robot.commands_from(before);
  ASSERT_GT(resumed.size(), at_pause);
  EXPECT_GE(resumed[at_pause].stamp_ms - resumed[at_pause - 1].stamp_ms, 500);

  player.stop();
  const auto last = player.wait_for(3s);
  ASSERT_TRUE(last.has_value()) << "stop ends the play within one exchange";
  EXPECT_EQ(last->state, PlayState::stopped);
  EXPECT_FALSE(player.error());
  const auto at_stop = robot.commands_from(before);
  std::this_thread::sleep_for(300ms);
  const auto after = robot.commands_from(before);
  EXPECT_EQ(after.size(), at_stop.size()) << "nothing is sent after a stop";
  EXPECT_LT(after.size(), motion.keyframes.size()) << "stopped before the end";
  for (const auto &line : after) EXPECT_EQ(line.text.rfind("#151,", 0), 0u) << line.text;
  EXPECT_EQ(robot.sim().state().motor_power, powered) << "the power stays as it was";
  player.resume();  // over: no effect
  EXPECT_EQ(player.state(), PlayState::stopped);
}

TEST(Player, ARobotLostMidMotionEndsThePlayWithItsError) {
  LoggedRobot robot;
  Motion motion{"long", {}, {}};
  for (int k = 0; k < 20; ++k)
    motion.keyframes.push_back({k * 200ms, {90, 90, 90, 90, 90, 90, 90}});
  Player player{robot.robot(), motion};
  ASSERT_TRUE(eventually([&] { return player.progress().keyframe >= 1; }));
  robot.sim().stop();  // the port goes away, as an unplugged adapter's
  const auto last = player.wait_for(5s);
  ASSERT_TRUE(last.has_value()) << "a lost robot ends the play, it does not hang";
  EXPECT_EQ(last->state, PlayState::failed);
  ASSERT_TRUE(player.error());
  EXPECT_EQ(player.error()->value(), errc::link_lost) << player.error()->what();
  EXPECT_THROW(play(robot.robot(), motion), Error);
}

TEST(Player, RefusesOptionsAndMotionsItCannotPlayBeforeSendingAnything) {
  LoggedRobot robot;
  const auto before = robot.commands().size();
  const Motion motion = greeting();
  PlayOptions too_fast;
  too_fast.speed = max_speed * 2;
  EXPECT_THROW(Player(robot.robot(), motion, too_fast), std::invalid_argument);
  EXPECT_EQ(options_refusal(too_fast).rfind("speed must be", 0), 0u);
  EXPECT_TRUE(options_refusal(PlayOptions{}).empty());
  EXPECT_THROW(Player(robot.robot(), Motion{"empty", {}, {}}), std::invalid_argument);
  Motion bad_event = motion;
  bad_event.events.push_back({0ms, LedSwitch{9, true}});
  EXPECT_THROW(Player(robot.robot(), bad_event), FormatError);
  EXPECT_EQ(robot.commands().size(), before);
}

}  // namespace
}  // namespace tovlink::motion
