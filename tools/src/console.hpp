// The tool's own output streams, kept apart from what the library prints.
//
// The library writes diagnostic lines on standard error and its time-out line
// on standard output.  Once separated, the tool writes its results through
// private copies of the original streams, and the library's prints (its
// standard output line included) go to standard error, so standard output
// carries the tool's results only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace tovlink::tool {

class console {
 public:
  console();
  ~console();
  console(const console &) = delete;
  console &operator=(const console &) = delete;

  // hide_library: send the library's prints nowhere (for a clean terminal).
  void separate_library_output(bool hide_library);

  std::FILE *out() const { return out_; }
  std::FILE *err() const { return err_; }
  bool out_is_terminal() const { return out_terminal_; }
  bool err_is_terminal() const { return err_terminal_; }

 private:
  std::FILE *out_ = stdout;
  std::FILE *err_ = stderr;
  bool out_terminal_ = false;
  bool err_terminal_ = false;
  bool separated_ = false;
};

// A spinner with the elapsed time on one terminal line, redrawn in place while
// a slow step runs, and wiped when it ends.  With no terminal it does nothing.
class progress_line {
 public:
  progress_line(std::FILE *terminal, std::string label);
  ~progress_line();
  progress_line(const progress_line &) = delete;
  progress_line &operator=(const progress_line &) = delete;

 private:
  void draw_until_done();

  std::FILE *terminal_;
  std::string label_;
  std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;
  std::size_t drawn_width_ = 0;
  std::thread drawer_;
};

}  // namespace tovlink::tool
