// The daemon's telemetry history on its own: bounded by age and by count,
// a clock stepping back, and the thinning of a long answer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "telemetry_history.hpp"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using tovlink::service::history_sample;
using tovlink::service::telemetry_history;

tovlink::Telemetry reading(int sensor) {
  tovlink::Telemetry t{};
  t.sensor = sensor;
  return t;
}

TEST(TelemetryHistory, BoundedByAgeAndCountAndAnsweredOldestFirst) {
  // 2 s at a 100 ms poll: 21 readings at most.
  telemetry_history history{seconds{2}, milliseconds{100}};
  ASSERT_TRUE(history.enabled());
  EXPECT_EQ(history.capacity(), 21U);
  const std::int64_t start = 1'700'000'000'000;
  // Readings faster than the poll (as a burst would come): the count bounds them.
  for (int i = 0; i < 100; ++i) history.add(start + i * 10, reading(i));
  auto all = history.since(0, 3000);
  ASSERT_EQ(all.size(), 21U);
  EXPECT_EQ(all.front().telemetry.sensor, 79);
  EXPECT_EQ(all.back().telemetry.sensor, 99);
  // Readings older than the history's span go, whatever the count.
  history.add(start + 5000, reading(500));
  all = history.since(0, 3000);
  ASSERT_EQ(all.size(), 1U);
  EXPECT_EQ(all.front().time_ms, start + 5000);

  for (int i = 1; i <= 15; ++i) history.add(start + 5000 + i * 100, reading(500 + i));
  const auto recent = history.since(start + 6000, 3000);  // the last half second
  ASSERT_EQ(recent.size(), 6U);
  for (std::size_t i = 1; i < recent.size(); ++i) {
    EXPECT_LT(recent[i - 1].time_ms, recent[i].time_ms);
  }
  EXPECT_TRUE(history.since(start + 7000, 3000).empty());
}

TEST(TelemetryHistory, ThinnedAnswersKeepTheNewestAndAClockStepBackDropsTheFuture) {
  telemetry_history history{seconds{60}, milliseconds{100}};
  const std::int64_t start = 1'700'000'000'000;
  for (int i = 0; i < 101; ++i) history.add(start + i * 100, reading(i));
  const auto thinned = history.since(0, 11);
  ASSERT_EQ(thinned.size(), 11U);
  for (std::size_t i = 0; i < thinned.size(); ++i) {
    EXPECT_EQ(thinned[i].telemetry.sensor, static_cast<int>(i) * 10);  // evenly spaced
  }
  ASSERT_EQ(history.since(0, 1).size(), 1U);
  EXPECT_EQ(history.since(0, 1).front().telemetry.sensor, 100);

  // The wall clock set back by a second: what now lies ahead of the newest
  // reading is dropped, so the answers stay in time order.
  history.add(start + 9000, reading(-1));
  const auto after = history.since(0, 3000);
  ASSERT_EQ(after.back().telemetry.sensor, -1);
  for (std::size_t i = 1; i < after.size(); ++i) {
    EXPECT_LT(after[i - 1].time_ms, after[i].time_ms);
  }

  telemetry_history off{seconds{0}, milliseconds{100}};
  EXPECT_FALSE(off.enabled());
  off.add(start, reading(1));
  EXPECT_TRUE(off.since(0, 3000).empty());
}

}  // namespace
