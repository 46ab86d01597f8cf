// Runs the tovlink program as a child process and collects what it printed.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace tovlink::tool::test {

struct tool_run {
  int exit_status = -1;  // -1: killed or did not start
  std::string out;
  std::string err;

  std::vector<std::string> out_lines() const;
  // The last line of standard output (where --json puts its object).
  std::string last_out_line() const;
};

struct run_options {
  std::string input;  // standard input (a pipe); empty: /dev/null
  std::vector<std::pair<std::string, std::string>> environment;  // added or replaced
  // Non-zero: standard output is a pseudo-terminal this many columns wide.
  unsigned short terminal_columns = 0;
  std::chrono::seconds limit{60};
};

tool_run run_tool(const std::vector<std::string> &args, const run_options &options = {});

// The tool on a pseudo-terminal of its own (standard input, output and
// error), as a person at a terminal runs it: typed keys in, the screen's
// bytes out, the window resized.
class terminal_session {
 public:
  terminal_session(const std::vector<std::string> &args, unsigned short columns,
                   const std::vector<std::pair<std::string, std::string>> &environment = {});
  ~terminal_session();
  terminal_session(const terminal_session &) = delete;
  terminal_session &operator=(const terminal_session &) = delete;

  bool started() const { return child_ > 0; }
  void type(const std::string &keys);
  // Reads until `text` appears after the mark (then moves the mark past
  // it); false when `limit` passes first.
  bool wait_for(const std::string &text, std::chrono::milliseconds limit);
  // Reads whatever comes within `span`.
  void read_for(std::chrono::milliseconds span);
  // Everything the terminal showed since the mark was last moved.
  std::string since_mark() const { return output_.substr(mark_); }
  void set_mark() { mark_ = output_.size(); }
  void resize(unsigned short columns);
  // Sends a signal and waits for the exit status (-1 when it did not end).
  int stop(int signal_number, std::chrono::seconds limit);

 private:
  bool read_some(std::chrono::milliseconds limit);

  int master_ = -1;
  int child_ = -1;
  std::string output_;
  std::size_t mark_ = 0;
};

}  // namespace tovlink::tool::test
