// The tool's terminal: which streams are terminals and how wide, Ctrl-C
// while a long step runs, and the spinner shown during a connect.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

namespace tovlink::tool {

class console {
 public:
  console();

  std::FILE *out() const { return stdout; }
  std::FILE *err() const { return stderr; }
  bool out_is_terminal() const { return out_terminal_; }
  bool err_is_terminal() const { return err_terminal_; }
  bool in_is_terminal() const { return in_terminal_; }
  // Columns of the terminal on standard output (80 when unknown).
  int out_width() const;

 private:
  bool out_terminal_ = false;
  bool err_terminal_ = false;
  bool in_terminal_ = false;
};

// While one lives, SIGINT and SIGTERM only set a flag that long steps look
// at (a connect, monitor, the pauses of the demo); the previous handling
// comes back when it ends.
class interrupt_scope {
 public:
  interrupt_scope();
  ~interrupt_scope();
  interrupt_scope(const interrupt_scope &) = delete;
  interrupt_scope &operator=(const interrupt_scope &) = delete;

  static bool requested();
  static void clear();
};

// A spinner with the elapsed time on one terminal line while a slow step
// runs, wiped when it ends; with no terminal it draws nothing.  Either way it
// turns Ctrl-C into a stop request for the step.  Lines printed through
// print() go above the spinner instead of through it.
class progress_line {
 public:
  progress_line(std::FILE *terminal, std::string label, std::stop_source stop);
  ~progress_line();
  progress_line(const progress_line &) = delete;
  progress_line &operator=(const progress_line &) = delete;

  void print(std::FILE *stream, std::string_view line);

 private:
  void run();
  void wipe();

  std::FILE *terminal_;
  std::string label_;
  std::stop_source stop_;
  std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;
  std::size_t drawn_width_ = 0;
  std::thread drawer_;
};

}  // namespace tovlink::tool
