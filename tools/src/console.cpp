#include "console.hpp"

#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#define tovlink_isatty _isatty
#else
#include <sys/ioctl.h>
#include <unistd.h>
#define tovlink_isatty isatty
#endif

namespace tovlink::tool {
namespace {

volatile std::sig_atomic_t interrupt_flag = 0;

extern "C" void note_interrupt(int) {
  interrupt_flag = 1;
}

}  // namespace

console::console()
    : out_terminal_(tovlink_isatty(1) != 0),
      err_terminal_(tovlink_isatty(2) != 0),
      in_terminal_(tovlink_isatty(0) != 0) {}

int console::out_width() const {
#ifndef _WIN32
  winsize size{};
  if (out_terminal_ && ::ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  if (const char *columns = std::getenv("COLUMNS")) {
    const int width = std::atoi(columns);
    if (width > 0) return width;
  }
  return 80;
}

using signal_handler = void (*)(int);
static signal_handler previous_int = SIG_DFL;
static signal_handler previous_term = SIG_DFL;
static int scopes = 0;

interrupt_scope::interrupt_scope() {
  if (scopes++ > 0) return;
  interrupt_flag = 0;
  previous_int = std::signal(SIGINT, note_interrupt);
  previous_term = std::signal(SIGTERM, note_interrupt);
}

interrupt_scope::~interrupt_scope() {
  if (--scopes > 0) return;
  std::signal(SIGINT, previous_int == SIG_ERR ? SIG_DFL : previous_int);
  std::signal(SIGTERM, previous_term == SIG_ERR ? SIG_DFL : previous_term);
}

bool interrupt_scope::requested() {
  return interrupt_flag != 0;
}

void interrupt_scope::clear() {
  interrupt_flag = 0;
}

progress_line::progress_line(std::FILE *terminal, std::string label, std::stop_source stop)
    : terminal_(terminal), label_(std::move(label)), stop_(std::move(stop)) {
  drawer_ = std::thread([this] { run(); });
}

progress_line::~progress_line() {
  {
    const std::scoped_lock lock{mutex_};
    done_ = true;
  }
  done_changed_.notify_all();
  drawer_.join();
  const std::scoped_lock lock{mutex_};
  wipe();
}

void progress_line::wipe() {
  if (terminal_ == nullptr || drawn_width_ == 0) return;
  std::fprintf(terminal_, "\r%*s\r", static_cast<int>(drawn_width_), "");
  std::fflush(terminal_);
  drawn_width_ = 0;
}

void progress_line::print(std::FILE *stream, std::string_view line) {
  const std::scoped_lock lock{mutex_};
  wipe();
  std::fprintf(stream, "%.*s\n", static_cast<int>(line.size()), line.data());
  std::fflush(stream);
}

void progress_line::run() {
  constexpr std::array<char, 4> spinner{'|', '/', '-', '\\'};
  const auto started = std::chrono::steady_clock::now();
  std::unique_lock lock{mutex_};
  for (std::size_t frame = 0; !done_; ++frame) {
    if (interrupt_scope::requested()) stop_.request_stop();
    if (terminal_ != nullptr) {
      const double elapsed =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      std::array<char, 256> text{};
      const int width = std::snprintf(text.data(), text.size(), "\r%c %s %.1f s",
                                      spinner[frame % spinner.size()], label_.c_str(), elapsed);
      std::fputs(text.data(), terminal_);
      std::fflush(terminal_);
      if (width > 1) drawn_width_ = static_cast<std::size_t>(width - 1);
    }
    done_changed_.wait_for(lock, std::chrono::milliseconds(50), [this] { return done_; });
  }
}

}  // namespace tovlink::tool
