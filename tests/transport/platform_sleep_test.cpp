// The host's thread lends the library its timer slack only for the length of
// a poll's sleep: whatever slack the host chose must be back when the
// library returns, and a sleep must never be shorter than asked.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <chrono>
#include <thread>

#include "transport/platform.h"

namespace tovlink {
namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

int timer_slack() {
  return prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
}

// Runs on a thread of its own so the test runner's slack is never touched.
template <typename Body>
void on_own_thread(Body body) {
  std::thread(body).join();
}

TEST(PlatformSleep, SleepMillisecondsPutsTheHostsTimerSlackBack) {
  on_own_thread([] {
    ASSERT_EQ(prctl(PR_SET_TIMERSLACK, 123456UL, 0UL, 0UL, 0UL), 0);
    platform::sleep_milliseconds(1);
    EXPECT_EQ(timer_slack(), 123456);
  });
}

TEST(PlatformSleep, SleepMillisecondsLeavesTheFinestSlackAsItIs) {
  on_own_thread([] {
    ASSERT_EQ(prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL), 0);
    platform::sleep_milliseconds(1);
    EXPECT_EQ(timer_slack(), 1);
  });
}

TEST(PlatformSleep, SleepMillisecondsLastsAtLeastItsTime) {
  for (int i = 0; i < 20; ++i) {
    auto start = steady::now();
    platform::sleep_milliseconds(2);
    EXPECT_GE(steady::now() - start, 2ms);
  }
}

TEST(PlatformSleep, SleepUntilWakesNoEarlierThanTheDeadline) {
  for (int i = 0; i < 20; ++i) {
    auto deadline = steady::now() + 1500us;
    platform::sleep_until(deadline);
    EXPECT_GE(steady::now(), deadline);
  }
}

TEST(PlatformSleep, SleepUntilAPassedDeadlineReturnsAtOnce) {
  auto start = steady::now();
  platform::sleep_until(start - 1s);
  EXPECT_LT(steady::now() - start, 1s);
}

}  // namespace
}  // namespace tovlink
