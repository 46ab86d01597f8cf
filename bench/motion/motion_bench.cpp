// tovlink-motion-bench: how close to their schedule a motion's keyframe
// lines reach the robot.
//
// Plays a motion of --seconds (default 60) with a keyframe every --interval
// ms (default 100) and an LED event between keyframes every second, on the
// in-process virtual robot, from a start time given ahead (as a fleet
// would).  Each keyframe line ("#151") is found in the robot's time-stamped
// wire log and compared with the time it was due: the start plus its
// keyframe's place in the schedule.  Prints the lateness figures, and the
// drift (the lateness of the last tenth of the motion against the first).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <numbers>
#include <string>
#include <vector>

#include "tovlink/motion/player.hpp"
#include "tovlink_sim/virtual_robot.hpp"

namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using wall = std::chrono::system_clock;
namespace motion = tovlink::motion;

// The wire log's stamp of a wall-clock time: milliseconds of the local day.
std::int64_t stamp_of(wall::time_point when) {
  const auto seconds = wall::to_time_t(when);
  std::tm local{};
  localtime_r(&seconds, &local);
  const auto ms =
      std::chrono::duration_cast<milliseconds>(when.time_since_epoch() % std::chrono::seconds{1});
  return ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000LL + ms.count();
}

// The stamps of the keyframe lines ("#151") in the log, in order.
class KeyframeLog {
 public:
  void take(const std::string &log_line) {
    if (log_line.find(" rx \"#151,") == std::string::npos) return;
    int h = 0, m = 0, s = 0, ms = 0;
    if (std::sscanf(log_line.c_str(), "%2d:%2d:%2d.%3d", &h, &m, &s, &ms) != 4) return;
    const std::scoped_lock lock{mutex_};
    stamps_.push_back(((h * 60 + m) * 60 + s) * 1000LL + ms);
  }
  std::vector<std::int64_t> stamps() const {
    const std::scoped_lock lock{mutex_};
    return stamps_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::int64_t> stamps_;
};

motion::Motion long_motion(milliseconds length, milliseconds interval) {
  motion::Motion result{"bench", {}, {}};
  for (milliseconds t{0}; t <= length; t += interval) {
    const double phase = 2 * std::numbers::pi * std::chrono::duration<double>(t).count() / 4.0;
    motion::Keyframe keyframe{t, {}};
    for (std::size_t m = 0; m < keyframe.angles.size(); ++m) {
      keyframe.angles[m] =
          static_cast<int>(std::lround(90 + 30 * std::sin(phase + static_cast<double>(m))));
    }
    result.keyframes.push_back(keyframe);
  }
  // Events between keyframes, as a motion with sound and light has them.
  for (milliseconds t = interval / 2; t < length; t += 1000ms) {
    result.events.push_back({t, motion::LedSwitch{3, (t / 1000ms) % 2 == 0}});
  }
  return result;
}

double percentile(std::vector<std::int64_t> values, double p) {
  std::sort(values.begin(), values.end());
  const auto index =
      static_cast<std::size_t>(std::lround(p * static_cast<double>(values.size() - 1)));
  return static_cast<double>(values[index]);
}

double mean(const std::vector<std::int64_t> &values, std::size_t from, std::size_t to) {
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(values[i]);
  return sum / static_cast<double>(to - from);
}

std::string load_average() {
  std::ifstream file{"/proc/loadavg"};
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{
      "Plays a long motion on the virtual robot and measures its keyframe lines' lateness"};
  int seconds = 60;
  int interval_ms = 100;
  app.add_option("--seconds", seconds, "Length of the motion (default 60)")
      ->check(CLI::Range(1, 3600));
  app.add_option("--interval", interval_ms, "Time between keyframes in ms (default 100)")
      ->check(CLI::Range(20, 9999));
  CLI11_PARSE(app, argc, argv);

  KeyframeLog log;
  tovlink::sim::robot_options options;
  options.log = [&](const std::string &line) { log.take(line); };
  tovlink::sim::virtual_robot sim{options};
  sim.start();
  tovlink::Robot robot{sim.slave_path()};

  const auto plan = long_motion(std::chrono::seconds{seconds}, milliseconds{interval_ms});
  motion::PlayOptions play;
  play.start_at = wall::now() + 500ms;
  const auto start = *play.start_at;
  const auto load_before = load_average();
  const auto last = motion::play(robot, plan, play);
  const auto load_after = load_average();

  // Keyframe k's line is due when the move towards it begins: at keyframe
  // k-1's time (the first at the start).
  const auto stamps = log.stamps();
  if (stamps.size() != plan.keyframes.size()) {
    std::fprintf(stderr, "tovlink-motion-bench: %zu keyframe lines logged, %zu sent\n",
                 stamps.size(), plan.keyframes.size());
    return 1;
  }
  std::vector<std::int64_t> lateness;
  for (std::size_t k = 0; k < stamps.size(); ++k) {
    const auto due = start + (k == 0 ? milliseconds{0} : plan.keyframes[k - 1].time);
    lateness.push_back(stamps[k] - stamp_of(due));
  }
  const auto within = std::count_if(lateness.begin(), lateness.end(),
                                    [](std::int64_t late) { return late <= 10 && late >= -1; });
  const auto tenth = std::max<std::size_t>(1, lateness.size() / 10);

  std::printf("motion: %d s, a keyframe every %d ms, %zu keyframe lines, %zu events (%s)\n",
              seconds, interval_ms, lateness.size(), plan.events.size(),
              motion::state_name(last.state));
  std::printf("load average before/after: %s / %s\n", load_before.c_str(), load_after.c_str());
  std::printf("keyframe line lateness (wire log, 1 ms stamps):\n");
  std::printf("  min %.0f ms, median %.0f ms, p95 %.0f ms, p99 %.0f ms, max %.0f ms\n",
              percentile(lateness, 0), percentile(lateness, 0.5), percentile(lateness, 0.95),
              percentile(lateness, 0.99), percentile(lateness, 1));
  std::printf("  within 10 ms: %td of %zu (%.1f%%)\n", within, lateness.size(),
              100.0 * static_cast<double>(within) / static_cast<double>(lateness.size()));
  std::printf("  drift: mean %.2f ms over the first tenth, %.2f ms over the last tenth\n",
              mean(lateness, 0, tenth), mean(lateness, lateness.size() - tenth, lateness.size()));
  return 0;
}
