// A program run as a child process for the service tests and benchmark: the daemon, or an
// external virtual robot.  Standard output and standard error are collected
// line by line on a thread of their own.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tovlink::service::testing {

class child_process {
 public:
  explicit child_process(std::vector<std::string> args);
  ~child_process();  // kills the child if it still runs
  child_process(const child_process &) = delete;
  child_process &operator=(const child_process &) = delete;

  pid_t pid() const { return pid_; }
  // The first output line containing `text`, waiting at most `limit`.
  std::optional<std::string> wait_for_line(const std::string &text,
                                           std::chrono::milliseconds limit);
  std::vector<std::string> lines() const;
  bool has_line(const std::string &text) const;
  // Sends `signal` and waits for the exit; the exit status, or -1 when it
  // was killed by a signal or did not end in time.
  int stop(int signal, std::chrono::milliseconds limit);
  // Waits for the child to end on its own.
  int wait(std::chrono::milliseconds limit);

 private:
  void collect(int fd);

  pid_t pid_ = -1;
  int exit_status_ = -1;
  bool exited_ = false;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

// CPU seconds (user and system) process `pid` has used so far, from /proc.
double cpu_seconds(pid_t pid);
// A memory figure of process `pid` in KiB ("VmRSS" resident now, "VmHWM"
// its peak), from /proc; -1 when there is none.
long memory_kib(pid_t pid, const std::string &field);

}  // namespace tovlink::service::testing
