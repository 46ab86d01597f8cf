// Diagnostic lines and bounded command formatting.
#pragma once

#include <cstddef>

#include "frame/session.h"

namespace tovlink {

#if defined(__GNUC__)
#define TOVLINK_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define TOVLINK_PRINTF(fmt_index, first_arg)
#endif

// The two Japanese lines, kept as their Shift-JIS bytes so that hosts reading
// the stream as code page 932 see them as always.
// "COM port initialisation failed("<port>")"
inline constexpr const char k_port_init_failed_line[] =
    "COM\x83|\x81[\x83g\x8F\x89\x8A\xFA\x89\xBB\x8E\xB8\x94s(\"%s\")\n";
// "Error detected(code=<code>)"
inline constexpr const char k_error_detected_line[] =
    "\x83G\x83\x89\x81[\x82\xF0\x8C\x9F\x8Fo(code=%d)\n";

// A Japanese line in both encodings; a session's sink picks one.
struct bilingual_line {
  const char *shift_jis;
  const char *utf8;
};
inline constexpr bilingual_line k_port_init_failed{
    k_port_init_failed_line,
    "COM\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88\xE5\x88\x9D\xE6\x9C\x9F\xE5\x8C\x96\xE5\xA4\xB1"
    "\xE6\x95\x97(\"%s\")\n"};
inline constexpr bilingual_line k_error_detected{
    k_error_detected_line,
    "\xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC\xE3\x82\x92\xE6\xA4\x9C\xE5\x87\xBA(code=%d)\n"};

// Formats one diagnostic line and hands it whole to the session's sink.
void log_line(session &s, const char *format, ...) TOVLINK_PRINTF(2, 3);
// The same for a Japanese line, in the encoding the sink asks for.
void log_bilingual_line(session &s, const bilingual_line *line, ...);
// The same on the standard-output side; only the receive time-out line goes there.
void log_stdout_line(session &s, const char *format, ...) TOVLINK_PRINTF(2, 3);

// Prints one formatted line on standard error and flushes it, so a host
// piping both streams sees every line at once and in order.
void log_line(const char *format, ...) TOVLINK_PRINTF(1, 2);

// The sink of the C API: standard error and standard output, each line
// written with one call and flushed.
void write_to_standard_streams(void *context, log_stream stream, std::string_view line);

// Formats a command text into buffer (size bytes, zero-terminated).  Returns
// false, leaving an empty string, when the text would not fit: a command is
// never sent shortened.
[[nodiscard]] bool format_command(char *buffer, std::size_t size, const char *format, ...)
    TOVLINK_PRINTF(3, 4);

}  // namespace tovlink
