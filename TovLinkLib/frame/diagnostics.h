// Diagnostic lines and bounded command formatting.
#pragma once

#include <cstddef>

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

// Prints one formatted diagnostic line on standard error and flushes it, so a
// host piping both streams sees every line at once and in order.
void log_line(const char *format, ...) TOVLINK_PRINTF(1, 2);

// The same on standard output; only the receive time-out line goes there.
void log_stdout_line(const char *format, ...) TOVLINK_PRINTF(1, 2);

// Formats a command text into buffer (size bytes, zero-terminated).  Returns
// false, leaving an empty string, when the text would not fit: a command is
// never sent shortened.
bool format_command(char *buffer, std::size_t size, const char *format, ...) TOVLINK_PRINTF(3, 4);

}  // namespace tovlink
