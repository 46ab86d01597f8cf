#include "worker_thread.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

namespace tovlink::bench {
namespace {

// Linux encodes another thread's CPU-time clock in the clock id, as
// pthread_getcpuclockid does for threads we hold a pthread_t for.
clockid_t thread_cpu_clock(pid_t tid) {
  constexpr unsigned k_per_thread_scheduler_clock = 6;
  return static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | k_per_thread_scheduler_clock);
}

int64_t to_ns(const timeval &time) {
  return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 +
         static_cast<int64_t>(time.tv_usec) * 1000;
}

}  // namespace

std::set<pid_t> current_threads() {
  std::set<pid_t> threads;
  DIR *tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return threads;
  while (dirent *entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    threads.insert(static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10)));
  }
  closedir(tasks);
  return threads;
}

std::optional<pid_t> new_thread(const std::set<pid_t> &before, const std::set<pid_t> &after) {
  std::optional<pid_t> found;
  for (pid_t tid : after) {
    if (before.count(tid) != 0) continue;
    if (found) return std::nullopt;
    found = tid;
  }
  return found;
}

std::optional<int64_t> thread_cpu_ns(pid_t tid) {
  timespec used{};
  if (clock_gettime(thread_cpu_clock(tid), &used) != 0) return std::nullopt;
  return static_cast<int64_t>(used.tv_sec) * 1'000'000'000 + used.tv_nsec;
}

std::optional<uint64_t> voluntary_switches(pid_t tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  const std::string key = "voluntary_ctxt_switches:";
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key, 0) == 0) return std::stoull(line.substr(key.size()));
  }
  return std::nullopt;
}

int64_t process_cpu_ns() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return to_ns(usage.ru_utime) + to_ns(usage.ru_stime);
}

}  // namespace tovlink::bench
