#include "console.hpp"

#include <array>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define tovlink_dup _dup
#define tovlink_dup2 _dup2
#define tovlink_isatty _isatty
#define tovlink_fileno _fileno
#define tovlink_fdopen _fdopen
#define tovlink_close _close
constexpr const char *null_device = "NUL";
#else
#include <unistd.h>
#define tovlink_dup dup
#define tovlink_dup2 dup2
#define tovlink_isatty isatty
#define tovlink_fileno fileno
#define tovlink_fdopen fdopen
#define tovlink_close close
constexpr const char *null_device = "/dev/null";
#endif

namespace tovlink::tool {
namespace {

constexpr int stdout_fd = 1;
constexpr int stderr_fd = 2;

// A private stream on a copy of `fd`, so later redirections of `fd` do not
// touch it.
std::FILE *private_copy(int fd, std::FILE *fallback) {
  const int copy = tovlink_dup(fd);
  if (copy < 0) return fallback;
  std::FILE *stream = tovlink_fdopen(copy, "w");
  if (stream == nullptr) {
    tovlink_close(copy);
    return fallback;
  }
  return stream;
}

}  // namespace

console::console()
    : out_terminal_(tovlink_isatty(stdout_fd) != 0),
      err_terminal_(tovlink_isatty(stderr_fd) != 0) {}

console::~console() {
  if (!separated_) return;
  if (out_ != stdout) std::fclose(out_);
  if (err_ != stderr) std::fclose(err_);
}

void console::separate_library_output(bool hide_library) {
  if (separated_) return;
  separated_ = true;
  std::fflush(stdout);
  std::fflush(stderr);
  out_ = private_copy(stdout_fd, stdout);
  err_ = private_copy(stderr_fd, stderr);
  if (hide_library) {
    if (std::FILE *sink = std::fopen(null_device, "w")) {
      tovlink_dup2(tovlink_fileno(sink), stderr_fd);
      std::fclose(sink);
    }
  }
  // Only replace standard output when the tool has its own copy of it.
  if (out_ != stdout) tovlink_dup2(stderr_fd, stdout_fd);
  // Line buffered, so results and the library's lines keep their order.
  std::setvbuf(out_, nullptr, _IOLBF, 4096);
  std::setvbuf(err_, nullptr, _IONBF, 0);
}

progress_line::progress_line(std::FILE *terminal, std::string label)
    : terminal_(terminal), label_(std::move(label)) {
  if (terminal_ != nullptr) drawer_ = std::thread([this] { draw_until_done(); });
}

progress_line::~progress_line() {
  if (!drawer_.joinable()) return;
  {
    const std::scoped_lock lock{mutex_};
    done_ = true;
  }
  done_changed_.notify_all();
  drawer_.join();
  // Wipe the line so the result starts on a clean one.
  std::fprintf(terminal_, "\r%*s\r", static_cast<int>(drawn_width_), "");
  std::fflush(terminal_);
}

void progress_line::draw_until_done() {
  constexpr std::array<char, 4> spinner{'|', '/', '-', '\\'};
  const auto started = std::chrono::steady_clock::now();
  std::unique_lock lock{mutex_};
  for (std::size_t frame = 0; !done_; ++frame) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::array<char, 256> text{};
    const int width = std::snprintf(text.data(), text.size(), "\r%c %s %.1f s",
                                    spinner[frame % spinner.size()], label_.c_str(), elapsed);
    std::fputs(text.data(), terminal_);
    std::fflush(terminal_);
    if (width > 0) drawn_width_ = static_cast<std::size_t>(width);
    done_changed_.wait_for(lock, std::chrono::milliseconds(100), [this] { return done_; });
  }
}

}  // namespace tovlink::tool
