#include "frame/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace tovlink {
namespace {

// Lines are formatted first and written with one call, so a line is never
// split by another stream's output.
// A line longer than the stack buffer (a very long port name) is formatted
// again on the heap rather than printed cut.
void write_line(std::FILE *stream, const char *format, std::va_list args) {
  std::va_list retry;
  va_copy(retry, args);
  char line[512];
  int length = std::vsnprintf(line, sizeof line, format, args);
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof line) {
    std::fwrite(line, 1, static_cast<std::size_t>(length), stream);
  } else if (length > 0) {
    std::vector<char> long_line(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(long_line.data(), long_line.size(), format, retry);
    std::fwrite(long_line.data(), 1, static_cast<std::size_t>(length), stream);
  }
  va_end(retry);
  std::fflush(stream);
}

}  // namespace

void log_line(const char *format, ...) {
  std::va_list args;
  va_start(args, format);
  write_line(stderr, format, args);
  va_end(args);
}

void log_stdout_line(const char *format, ...) {
  std::va_list args;
  va_start(args, format);
  write_line(stdout, format, args);
  va_end(args);
}

bool format_command(char *buffer, std::size_t size, const char *format, ...) {
  if (buffer == nullptr || size == 0) return false;
  std::va_list args;
  va_start(args, format);
  int length = std::vsnprintf(buffer, size, format, args);
  va_end(args);
  if (length < 0 || static_cast<std::size_t>(length) >= size) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

}  // namespace tovlink
