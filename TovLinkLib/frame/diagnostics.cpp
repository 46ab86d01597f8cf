#include "frame/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace tovlink {
namespace {

// Lines are formatted first and handed on whole, so a line is never split by
// another stream's output.  A line longer than the stack buffer (a very long
// port name) is formatted again on the heap rather than cut.
void emit(const diagnostic_sink &sink, log_stream stream, const char *format, std::va_list args) {
  if (sink.write == nullptr) return;
  std::va_list retry;
  va_copy(retry, args);
  char line[512];
  int length = std::vsnprintf(line, sizeof line, format, args);
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof line) {
    sink.write(sink.context, stream, std::string_view(line, static_cast<std::size_t>(length)));
  } else if (length > 0) {
    std::vector<char> long_line(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(long_line.data(), long_line.size(), format, retry);
    sink.write(sink.context, stream,
               std::string_view(long_line.data(), static_cast<std::size_t>(length)));
  }
  va_end(retry);
}

constexpr diagnostic_sink k_standard_streams{write_to_standard_streams, nullptr, false};

}  // namespace

void write_to_standard_streams(void *, log_stream stream, std::string_view line) {
  std::FILE *file = stream == log_stream::standard_output ? stdout : stderr;
  std::fwrite(line.data(), 1, line.size(), file);
  std::fflush(file);
}

void log_line(session &s, const char *format, ...) {
  std::va_list args;
  va_start(args, format);
  emit(s.sink, log_stream::standard_error, format, args);
  va_end(args);
}

void log_bilingual_line(session &s, const bilingual_line *line, ...) {
  std::va_list args;
  va_start(args, line);
  emit(s.sink, log_stream::standard_error, s.sink.utf8 ? line->utf8 : line->shift_jis, args);
  va_end(args);
}

void log_stdout_line(session &s, const char *format, ...) {
  std::va_list args;
  va_start(args, format);
  emit(s.sink, log_stream::standard_output, format, args);
  va_end(args);
}

void log_line(const char *format, ...) {
  std::va_list args;
  va_start(args, format);
  emit(k_standard_streams, log_stream::standard_error, format, args);
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
