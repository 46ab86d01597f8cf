// Connect/end soak: runs many full connect, operate, end cycles against a
// robot on the given port and checks that the process's open file
// descriptors and threads are the same after the last cycle as before the
// first.  Not a ctest case (each connect costs 3.5 s of fixed pauses);
// .ci/steps/35-soak.sh runs it against the virtual robot, and under valgrind
// for one short session.
//
//   tovlink_cycle_soak <port> <cycles>
//
// Prints one summary line on standard output; the library's own diagnostic
// lines go to standard error.  Exit status 0 when every cycle connected and
// operated and nothing was left behind.
#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "tovlink.h"

namespace {

struct process_counts {
  int fds = 0;
  int threads = 0;
};

int count_open_fds() {
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory's own descriptor
}

int count_threads() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  }
  return -1;
}

process_counts measure() {
  return {count_open_fds(), count_threads()};
}

// A joined thread can still be counted in /proc/self/status for a moment:
// the kernel wakes pthread_join when the thread clears its id, before it has
// finished leaving the thread group.  So a count above the baseline is looked
// at again for up to half a second before it is taken as left behind.
process_counts measure_settled(const process_counts &baseline) {
  process_counts now = measure();
  for (int tries = 0; tries < 50 && (now.fds > baseline.fds || now.threads > baseline.threads);
       ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    now = measure();
  }
  return now;
}

// One session: connect, a telemetry read, a text query, a motor command, end.
// Returns an empty string, or what went wrong.
std::string run_cycle(const char *port) {
  uint32_t *robot = tovlink_connect(port, 115200);
  if (robot == nullptr) return "connect failed with " + std::to_string(tovlink_get_lasterror());
  std::string failure;
  int32_t battery = 0;
  char who[128] = {};
  if (tovlink_get_battery_value(robot, &battery) != TOVLINK_OK) failure = "battery read failed";
  if (tovlink_who(robot, who, sizeof who - 1) != TOVLINK_OK) failure = "who failed";
  if (tovlink_motor_set_pos(robot, 1, 90) != TOVLINK_OK) failure = "motor command failed";
  tovlink_end(robot);
  return failure;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <port> <cycles>\n", argv[0]);
    return 2;
  }
  const char *port = argv[1];
  const int cycles = std::atoi(argv[2]);
  const auto started = std::chrono::steady_clock::now();

  const process_counts before = measure();
  process_counts most = before;
  int failures = 0;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    std::string failure = run_cycle(port);
    if (!failure.empty()) {
      ++failures;
      std::fprintf(stdout, "cycle %d: %s\n", cycle, failure.c_str());
    }
    process_counts now = measure_settled(before);
    if (now.fds > most.fds) most.fds = now.fds;
    if (now.threads > most.threads) most.threads = now.threads;
  }
  const process_counts after = measure_settled(before);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::printf(
      "cycles=%d failed=%d fds before=%d after=%d most=%d threads before=%d after=%d most=%d "
      "seconds=%.1f\n",
      cycles, failures, before.fds, after.fds, most.fds, before.threads, after.threads,
      most.threads, seconds);
  bool unchanged = after.fds == before.fds && after.threads == before.threads &&
                   most.fds == before.fds && most.threads == before.threads;
  return failures == 0 && unchanged ? 0 : 1;
}
