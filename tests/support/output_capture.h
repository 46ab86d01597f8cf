// Captures what the library prints on standard output and standard error.
#pragma once

#include <string>

namespace tovlink::test {

// Redirects file descriptors 1 and 2 into memory files from construction
// until finish() (or destruction), so the library's exact diagnostic bytes
// can be compared.  Each test case runs in its own process, so nothing else
// writes to them meanwhile.
class output_capture {
 public:
  output_capture();
  ~output_capture();
  output_capture(const output_capture &) = delete;
  output_capture &operator=(const output_capture &) = delete;

  // Restores the streams and keeps what was written.
  void finish();
  const std::string &out() const { return out_; }
  const std::string &err() const { return err_; }

 private:
  int saved_out_ = -1, saved_err_ = -1;
  int file_out_ = -1, file_err_ = -1;
  bool active_ = false;
  std::string out_, err_;
};

// Counts the occurrences of `needle` in `text`.
int count_of(const std::string &text, const std::string &needle);

}  // namespace tovlink::test
