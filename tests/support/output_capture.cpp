#include "output_capture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace tovlink::test {
namespace {

int memory_file(const char *name) {
  int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) throw std::runtime_error("memfd_create failed");
  return fd;
}

std::string read_all(int fd) {
  std::string text;
  char block[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, block, sizeof block)) > 0;)
    text.append(block, static_cast<size_t>(n));
  return text;
}

}  // namespace

output_capture::output_capture() {
  std::fflush(stdout);
  std::fflush(stderr);
  file_out_ = memory_file("captured-stdout");
  file_err_ = memory_file("captured-stderr");
  saved_out_ = dup(1);
  saved_err_ = dup(2);
  dup2(file_out_, 1);
  dup2(file_err_, 2);
  active_ = true;
}

void output_capture::finish() {
  if (!active_) return;
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_out_, 1);
  dup2(saved_err_, 2);
  close(saved_out_);
  close(saved_err_);
  out_ = read_all(file_out_);
  err_ = read_all(file_err_);
  close(file_out_);
  close(file_err_);
  active_ = false;
}

output_capture::~output_capture() {
  finish();
}

int count_of(const std::string &text, const std::string &needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace tovlink::test
